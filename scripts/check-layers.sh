#!/usr/bin/env bash
# Checks the folders of src/ form a stack: transport < protocol < server < service, each
# including only its own folder and those below it, and every member function of a class defined
# in the folder that declares the class. Prints each violation; exits 1 when there is any.
set -euo pipefail
cd "$(dirname "$0")/../src"

rank() {
  case "$1" in
    transport) echo 0 ;; protocol) echo 1 ;; server) echo 2 ;; service) echo 3 ;; *) echo -1 ;;
  esac
}

status=0
edges=0
for file in $(find transport protocol server service -name '*.h' -o -name '*.cpp' | sort); do
  folder=${file%%/*}
  own=$(rank "$folder")
  while IFS= read -r included; do
    target=${included%%/*}
    [ "$(rank "$target")" -ge 0 ] || continue
    edges=$((edges + 1))
    if [ "$(rank "$target")" -gt "$own" ]; then
      echo "upward include: $file includes $included"
      status=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done

# Classes by the folder of their header, then every "Class::member(" definition elsewhere.
declare -A home
while IFS=: read -r header name; do
  home[$name]=${header%%/*}
done < <(grep -HE '^(class|struct) [A-Z][A-Za-z0-9]*[^;]*$' $(find transport protocol server service -name '*.h') |
           sed -E 's/:(class|struct) ([A-Za-z0-9]*).*/:\2/')
for file in $(find transport protocol server service -name '*.cpp' | sort); do
  folder=${file%%/*}
  while IFS= read -r name; do
    if [ -n "${home[$name]:-}" ] && [ "${home[$name]}" != "$folder" ]; then
      echo "member of $name (declared in ${home[$name]}/) defined in $file"
      status=1
    fi
  done < <(grep -oE '^[A-Za-z_][^(;]*\b[A-Z][A-Za-z0-9]*::~?[A-Za-z_]+\(' "$file" |
             sed -E 's/.*\b([A-Z][A-Za-z0-9]*)::~?[A-Za-z_]+\($/\1/' | sort -u)
done

echo "checked $edges includes between the folders of src/ and ${#home[@]} classes"
exit $status
