#!/bin/bash
# Writes the quick and deep listings (`list --json`) of a fixed set of images into OUT, so two
# builds can be compared with `diff -r`: a refactoring must leave every listing byte-identical.
#   bench/listing_snapshot.sh BUILD_DIR OUT [IMAGE_CACHE]
# The images: volumes made here with the real tools (FAT12/16/32 with mtools, NTFS with
# mkntfs/ntfs-3g, files planted and deleted) and, where present, ../shared/testdata's disk images.
set -euo pipefail
build=$(realpath "$1")
out=$(realpath -m "$2")
here=$(cd "$(dirname "$0")/.." && pwd)
cache=$(realpath -m "${3:-$here/build/bench/listing-images}")
velmora="$build/velmora"
[ -x "$velmora" ] || { echo "no velmora in $build" >&2; exit 2; }
mkdir -p "$out" "$cache"
fixtures="$here/../shared/testdata/file-type-fixtures"

plant_fat() {  # IMG FAT_BITS SIZE_MIB
  local img=$1 bits=$2 size=$3
  [ -s "$img" ] && return 0
  rm -f "$img.tmp"
  truncate -s "${size}M" "$img.tmp"
  mkfs.fat -F "$bits" -n PLANTED "$img.tmp" >/dev/null
  local n=0
  export MTOOLS_SKIP_CHECK=1
  mmd -i "$img.tmp" ::/Photos ::/Docs ::/Docs/Old
  for f in "$fixtures"/*; do
    [ -f "$f" ] || continue
    n=$((n + 1))
    [ "$(stat -c %s "$f")" -gt $((size * 1024 * 1024 / 40)) ] && continue
    case $((n % 3)) in 0) d=::/Photos ;; 1) d=::/Docs ;; *) d=::/Docs/Old ;; esac
    mcopy -i "$img.tmp" "$f" "$d/$(basename "$f")" 2>/dev/null || true
  done
  # Every other file deleted, and one folder with all it holds.
  mdir -i "$img.tmp" -b ::/Photos ::/Docs 2>/dev/null | awk 'NR % 2 == 0' | while read -r p; do
    mdel -i "$img.tmp" "$p" 2>/dev/null || true
  done
  mdeltree -i "$img.tmp" ::/Docs/Old 2>/dev/null || true
  mv "$img.tmp" "$img"
}

plant_ntfs() {  # IMG SIZE_MIB
  local img=$1 size=$2
  [ -s "$img" ] && return 0
  command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null || return 0
  rm -f "$img.tmp"
  truncate -s "${size}M" "$img.tmp"
  mkntfs -q -F -f -L PLANTED "$img.tmp" >/dev/null 2>&1
  local mnt
  mnt=$(mktemp -d)
  if ! ntfs-3g "$img.tmp" "$mnt" 2>/dev/null; then rmdir "$mnt"; rm -f "$img.tmp"; return 0; fi
  mkdir -p "$mnt/Photos" "$mnt/Docs/Old"
  local n=0
  for f in "$fixtures"/*; do
    [ -f "$f" ] || continue
    n=$((n + 1))
    case $((n % 3)) in 0) d=Photos ;; 1) d=Docs ;; *) d=Docs/Old ;; esac
    cp "$f" "$mnt/$d/" 2>/dev/null || true
  done
  sync
  find "$mnt/Photos" "$mnt/Docs" -maxdepth 1 -type f | sort | awk 'NR % 2 == 0' | xargs -r rm -f
  rm -rf "$mnt/Docs/Old"
  umount "$mnt"
  rmdir "$mnt"
  mv "$img.tmp" "$img"
}

images=()
if [ -d "$fixtures" ]; then
  plant_fat "$cache/fat12.img" 12 4 && images+=("$cache/fat12.img")
  plant_fat "$cache/fat16.img" 16 32 && images+=("$cache/fat16.img")
  plant_fat "$cache/fat32.img" 32 64 && images+=("$cache/fat32.img")
  plant_ntfs "$cache/ntfs.img" 48
  [ -s "$cache/ntfs.img" ] && images+=("$cache/ntfs.img")
else
  echo "note: ../shared/testdata is absent; only the images in $cache are listed" >&2
  for f in "$cache"/*.img; do [ -s "$f" ] && images+=("$f"); done
fi
td="$here/../shared/testdata"
for rel in dftt/6-undel-fat/6-fat-undel.dd dftt/9-fat-label/9-fat-label.dd \
           dftt/5-fat-daylight/daylight.dd rust-fatfs/fat12.img rust-fatfs/fat16.img \
           ntfs-rust-crate/testfs1 velociraptor/test.ntfs.dd plaso/tsk_volume_system.raw \
           bulk_extractor/nps-2010-emails.raw; do
  [ -f "$td/$rel" ] && images+=("$td/$rel")
done
for gz in sleuthkit/imageformat_mmls_1.raw.gz ntfs-samples/ntfs-si-vs-fn.raw.gz; do
  [ -f "$td/$gz" ] || continue
  raw="$cache/$(basename "$gz" .gz)"
  [ -s "$raw" ] || gzip -dc "$td/$gz" > "$raw"
  images+=("$raw")
done

for img in "${images[@]}"; do
  name="$(basename "$(dirname "$img")")_$(basename "$img")"
  data=$(mktemp -d)
  for mode in quick deep; do
    flag=""
    [ "$mode" = deep ] && flag="--deep"
    status=0
    VELMORA_DATA_DIR="$data" "$velmora" list "$img" $flag --all --json \
      > "$out/$name.$mode.json" 2> "$out/$name.$mode.log" || status=$?
    # Progress lines race the scan; the rest of what it said is compared.
    grep -v '%  ' "$out/$name.$mode.log" > "$out/$name.$mode.err" || true
    rm -f "$out/$name.$mode.log"
    echo "exit $status" >> "$out/$name.$mode.err"
  done
  rm -rf "$data"
done
echo "${#images[@]} images listed into $out"
