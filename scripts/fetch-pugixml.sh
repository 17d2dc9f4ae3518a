#!/usr/bin/env bash
# Fetches Debian's pugixml source package into the given directory (for the Windows build), with
# a private apt configuration that adds a deb-src entry for the machine's own Debian suite. The
# machine's apt configuration is not touched. Prints the directory of pugixml.cpp in
# the unpacked source.
set -euo pipefail

dest=$(realpath -m "$1")
# The library's own source, not a copy elsewhere in the package.
source_dir() {
  find "$dest/src" -maxdepth 3 -path '*/src/pugixml.cpp' -printf '%h\n' 2>/dev/null | head -n 1
}

existing=$(source_dir || true)
if [ -n "$existing" ]; then
  echo "$existing"
  exit 0
fi

scripts_dir=$(dirname "$(realpath "$0")")
"$scripts_dir/deps.sh" dpkg-dev >&2

apt_dir="$dest/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$dest/src"

# The suite and mirror of the machine itself, so the source matches its libpugixml-dev.
. /etc/os-release
suite=${VERSION_CODENAME:-bookworm}
mirror=$( (cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true) \
  | grep -E '^(URIs:|deb )' \
  | sed -E 's/^URIs:[[:space:]]*//; s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//; s/[[:space:]].*//' \
  | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
echo "deb-src $mirror $suite main" > "$apt_dir/sources.list"

opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/none"
      -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
apt-get "${opts[@]}" -q update >&2
(cd "$dest/src" && apt-get "${opts[@]}" -q source pugixml >&2)

source_dir
