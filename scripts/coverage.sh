#!/usr/bin/env bash
# Line coverage of src/ after a test run in an instrumented build tree: one line per folder of
# src/ and one for all of it. Fails when the total is below the floor (per cent).
# Usage: scripts/coverage.sh BUILD_DIR FLOOR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
floor=$2
summary="$build/coverage.json"

# gcov's notes on lines it cannot parse go to a file; they are shown only when gcovr fails.
if ! gcovr --root . --object-directory "$build" --filter 'src/' --json-summary "$summary" \
  --gcov-ignore-parse-errors -j 2 >/dev/null 2>"$build/gcovr.log"; then
  cat "$build/gcovr.log"
  exit 1
fi

python3 - "$summary" "$floor" <<'PY'
import json, sys
files = json.load(open(sys.argv[1]))["files"]
floor = float(sys.argv[2])
folders = {}
for f in files:
    parts = f["filename"].split("/")
    folder = parts[1] if len(parts) > 2 else "."
    covered, total = folders.get(folder, (0, 0))
    folders[folder] = (covered + f["line_covered"], total + f["line_total"])
def row(name, covered, total):
    share = 100.0 * covered / total if total else 100.0
    print(f"{name:<12} {covered:>6} of {total:>6} lines  {share:6.2f} %")
    return share
print("Line coverage of src/")
for name in sorted(folders):
    row(name, *folders[name])
covered = sum(c for c, _ in folders.values())
total = sum(t for _, t in folders.values())
share = row("all", covered, total)
if share < floor:
    print(f"coverage {share:.2f} % is below the floor of {floor:g} %")
    sys.exit(1)
PY
