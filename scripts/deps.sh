#!/usr/bin/env bash
# Installs whatever of the named Debian packages is missing (the build and test set when none are
# named). Quick and silent when everything is present.
set -euo pipefail

packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
  packages=(cmake g++ make pkg-config libpugixml-dev libcpp-httplib-dev googletest libgtest-dev libgmock-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
# The package lists may be absent on a fresh machine; refresh them once when an install fails.
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
  $sudo apt-get update -q >/dev/null
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
