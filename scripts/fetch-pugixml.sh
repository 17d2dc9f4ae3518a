#!/usr/bin/env bash
# Fetches Debian's pugixml source package into the given directory (for the Windows build) and
# prints the directory of pugixml.cpp in the unpacked source (scripts/fetch-debian-source.sh).
set -euo pipefail
exec "$(dirname "$(realpath "$0")")/fetch-debian-source.sh" pugixml src/pugixml.cpp "$1"
