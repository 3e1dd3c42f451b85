#!/usr/bin/env bash
# Deep-scan throughput against `cat` and PhotoRec on three kinds of cached image, in one run.
#
#   bench/deep_scan_vs_photorec.sh [BUILD_DIR] [WORK_DIR]
#
# Images (built once in WORK_DIR, then reused; BENCH_SIZE_MIB each, 1024 by default):
#   planted.img  random data with real files of many types written at random sector offsets
#   ntfs.img     random data formatted NTFS (mkntfs -Q keeps free space random), filled through
#                ntfs-3g with BENCH_FILES small real files (15 per MiB by default), half deleted
#   fat32.img    the same on FAT32 (mkfs.fat, mtools)
# For each image, BENCH_RUNS times (3 by default) back to back, in turn:
#   cat IMG > /dev/null
#   velmora scan IMG --deep --fresh            (and BENCH_BASE, an older velmora, when given)
#   photorec /log /d OUT/recup /cmd IMG fileopt,everything,enable,wholespace,search
# and prints median seconds, MB/s, the ratios and the peak resident memory. With BENCH_BASE the
# two programs' `list --deep --json` outputs must be byte-identical (the bench fails otherwise).
#   BENCH_KINDS="planted ntfs fat32"   which images
#   BENCH_COLD=1                       also cat and velmora on the image evicted from the page
#                                      cache first (posix_fadvise on that file only)
#   BENCH_SIZE_MIB=128 BENCH_RUNS=3    a quick run
# Needs mkntfs and ntfs-3g (FUSE, so root), mkfs.fat, mtools, photorec (testdisk), python3.
set -euo pipefail

build_dir=${1:-build}
work=${2:-/tmp/velmora-bench}
velmora="$(cd "$build_dir" && pwd)/velmora"
base=${BENCH_BASE:-}
here="$(cd "$(dirname "$0")" && pwd)"
fixtures=${VELMORA_FIXTURES:-$here/../../shared/testdata/file-type-fixtures}
[ -d "$fixtures" ] || fixtures=/work/shared/testdata/file-type-fixtures
size_mib=${BENCH_SIZE_MIB:-1024}
file_count=${BENCH_FILES:-$((size_mib * 15))}
runs=${BENCH_RUNS:-3}
kinds=${BENCH_KINDS:-planted ntfs fat32}
source "$here/bench_common.sh"

mkdir -p "$work"

build_planted() {
  local img=$1
  head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$img.tmp"
  python3 - "$fixtures" "$img.tmp" <<'PY'
import os, random, sys
fixtures, img = sys.argv[1], sys.argv[2]
random.seed(11)
names = sorted(n for n in os.listdir(fixtures) if n.startswith('fixture'))
size = os.path.getsize(img)
with open(img, 'r+b') as f:
    at = 0
    while True:
        at += random.randint(64, 2048) * 512  # a file every ~0.5 MiB, sector aligned
        data = open(os.path.join(fixtures, random.choice(names)), 'rb').read()
        if at + len(data) > size:
            break
        f.seek(at)
        f.write(data)
        at += (len(data) + 511) // 512 * 512
PY
  mv "$img.tmp" "$img"
}

build_ntfs() {
  local img=$1 mnt="$work/mnt.$$"
  head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$img.tmp"
  mkntfs -F -Q -q -L BENCH "$img.tmp" 2> /dev/null
  stage_files "$work/stage" "$file_count" 60
  mkdir -p "$mnt"
  ntfs-3g "$img.tmp" "$mnt"
  cp -r "$work/stage"/. "$mnt"/
  delete_half "$mnt"
  umount "$mnt"
  rmdir "$mnt"
  rm -rf "$work/stage"
  mv "$img.tmp" "$img"
}

build_fat32() {
  local img=$1
  head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$img.tmp"
  mkfs.fat -F 32 -n BENCH "$img.tmp" > /dev/null
  stage_files "$work/stage" "$file_count" 60
  for d in "$work/stage"/d*; do mcopy -s -i "$img.tmp" "$d" ::/; done
  # Delete about half: every folder with an odd number, and the notes everywhere.
  for d in "$work/stage"/d*; do
    n=$(basename "$d")
    if [ $((10#${n#d} % 2)) -eq 1 ]; then mdeltree -i "$img.tmp" "::/$n"; fi
  done
  mdel -i "$img.tmp" '::/d*/note*.txt' 2> /dev/null || true
  rm -rf "$work/stage"
  mv "$img.tmp" "$img"
}

printf "%-8s %-9s %9s %9s %9s %11s %8s\n" image program seconds MB/s "vs cat" "vs photorec" "peak KiB"
for kind in $kinds; do
  img="$work/$kind-$size_mib.img"
  if [ ! -s "$img" ]; then
    echo "building $img ($size_mib MiB)..." >&2
    "build_$kind" "$img"
  fi
  bytes=$(stat -c %s "$img")
  cat "$img" > /dev/null  # into the page cache
  log="$work/$kind.times"
  : > "$log"
  for ((run = 0; run < runs; run++)); do
    timed "$log" cat cat "$img"
    VELMORA_DATA_DIR="$work/data-new" timed "$log" velmora "$velmora" scan "$img" --deep --fresh
    if [ -n "$base" ]; then
      VELMORA_DATA_DIR="$work/data-base" timed "$log" base "$base" scan "$img" --deep --fresh
    fi
    if [ -n "${BENCH_COLD:-}" ]; then
      evict "$img"
      timed "$log" cat-cold cat "$img"
      evict "$img"
      VELMORA_DATA_DIR="$work/data-new" timed "$log" vel-cold "$velmora" scan "$img" --deep --fresh
      cat "$img" > /dev/null
    fi
    rm -rf "$work/photorec"
    mkdir -p "$work/photorec"
    (cd "$work" && timed "$log" photorec photorec /log /d "$work/photorec/recup" /cmd "$img" \
      fileopt,everything,enable,wholespace,search)
  done
  report "$log" "$bytes" "$kind"
  VELMORA_DATA_DIR="$work/data-new" "$velmora" list "$img" --deep --json > "$work/$kind.new.json"
  files=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$work/$kind.new.json")
  echo "         velmora lists $files files; photorec wrote $(find "$work/photorec" -type f -path '*recup*' | wc -l)"
  if [ -n "$base" ]; then
    VELMORA_DATA_DIR="$work/data-base" "$base" list "$img" --deep --json > "$work/$kind.base.json"
    if cmp -s "$work/$kind.new.json" "$work/$kind.base.json"; then
      echo "         listing byte-identical to $base"
    else
      echo "         LISTING DIFFERS from $base: diff $work/$kind.new.json $work/$kind.base.json"
      exit 1
    fi
  fi
done
