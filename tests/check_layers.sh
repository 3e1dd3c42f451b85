#!/usr/bin/env bash
# Fails when a folder of src/ includes a header of a folder above it (or beside it), or when
# a file reads little- or big-endian numbers with a helper of its own.
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

# Numbers in on-disk bytes are read through ByteView (src/storage/byte_view.h) only: no file
# keeps its own Le16-style helper or pieces a number together from neighbouring bytes.
helper='^\s*(static\s+|inline\s+)*(uint(8|16|32|64)_t|int|auto)\s+(Le|Be|Get|Load|Read)(Le|Be)?[0-9]*\s*\(\s*const\s+(uint8_t|unsigned char|std::vector)'
assembled='\[[^]]+\]\)?\s*<<\s*(8|16|24|32|40|48|56|\(8\s*\*)'
while IFS= read -r hit; do
  echo "$hit: read the number through ByteView (storage/byte_view.h)"
  status=1
done < <(grep -HnE "$helper|$assembled" -r --include="*.h" --include="*.cpp" "$root/src" |
         grep -v "^$root/src/storage/byte_view.h:" | sed "s|^$root/||" || true)

if [[ $graph -eq 1 ]]; then
  printf '%s\n' "${!edges[@]}" | sort
fi
exit $status
