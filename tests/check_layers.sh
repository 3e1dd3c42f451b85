#!/usr/bin/env bash
# Fails when a folder of src/ includes a header of a folder above it (or beside it).
#   tests/check_layers.sh [SOURCE_ROOT] [--graph]   --graph prints who includes whom
set -euo pipefail
root="$(dirname "$0")/.."
graph=0
for arg in "$@"; do
  case "$arg" in
    --graph) graph=1 ;;
    *) root="$arg" ;;
  esac
done

# Each folder and the folders it may include, bottom up.
declare -A below=(
  [storage]=""
  [engine]="storage"
  [signature]="engine storage"
  [ntfs]="signature engine storage"
  [fat]="signature engine storage"
  [deep]="ntfs fat signature engine storage"
  [preview]="deep ntfs fat signature engine storage"
  [app]="preview deep ntfs fat signature engine storage"
  [cli]="app preview deep ntfs fat signature engine storage"
  [ui]="app preview deep ntfs fat signature engine storage"
  [gui]="ui app preview deep ntfs fat signature engine storage"
)

status=0
declare -A edges=()
for dir in "$root"/src/*/; do
  folder="$(basename "$dir")"
  if [[ -z "${below[$folder]+set}" ]]; then
    echo "src/$folder has no place in the layer order of $0"
    status=1
    continue
  fi
  while IFS=: read -r file line text; do
    target="$(sed -E 's/^#include "([^/"]+)\/.*/\1/' <<<"$text")"
    [[ "$target" == "$text" || "$target" == "$folder" ]] && continue
    edges["$folder -> $target"]=1
    if [[ " ${below[$folder]} " != *" $target "* ]]; then
      echo "${file#"$root"/}:$line: src/$folder may not include src/$target: $text"
      status=1
    fi
  done < <(grep -Hn '^#include "' -r --include="*.h" --include="*.cpp" "$dir" || true)
done

if [[ $graph -eq 1 ]]; then
  printf '%s\n' "${!edges[@]}" | sort
fi
exit $status
