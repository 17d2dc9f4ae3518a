#!/usr/bin/env bash
# Fetches a Debian source package into the given directory (for the Windows build), with a private
# apt configuration that adds a deb-src entry for the machine's own Debian suite. The machine's
# apt configuration is not touched. Prints the directory of FILE (a path pattern ending in the
# file's name, such as src/pugixml.cpp) in the unpacked source.
# Usage: fetch-debian-source.sh PACKAGE FILE DIRECTORY
set -euo pipefail

package=$1
file=$2
dest=$(realpath -m "$3")
# The library's own file, not a copy elsewhere in the package.
source_dir() {
  find "$dest/src" -maxdepth 3 -path "*/$package-*/$file" -printf '%h\n' 2>/dev/null | head -n 1
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

# The suite and mirror of the machine itself, so the source matches its -dev packages.
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
(cd "$dest/src" && apt-get "${opts[@]}" -q source "$package" >&2)

source_dir
