#!/usr/bin/env bash
# Listing a large quick scan against The Sleuth Kit's `fls -r -d`, in one run.
#
#   bench/listing_vs_fls.sh [BUILD_DIR] [WORK_DIR]
#
# Builds (once) WORK_DIR/listing-FILES.img: an NTFS volume (mkntfs, filled through ntfs-3g)
# holding BENCH_LIST_FILES small files (100,000 by default) in 100 folders, then deletes
# every odd-numbered folder, so half of them are deleted. Saves a quick scan of it, then
# times BENCH_RUNS times (3 by default), back to back:
#   velmora list IMG --json          (and BENCH_BASE list IMG --json once, when given)
#   fls -r -d IMG
# and prints median seconds, the ratio to fls and the peak resident memory. With BENCH_BASE
# both listings must be byte-identical. Needs mkntfs, ntfs-3g (FUSE, so root), sleuthkit.
set -euo pipefail

build_dir=${1:-build}
work=${2:-/tmp/velmora-bench}
velmora="$(cd "$build_dir" && pwd)/velmora"
base=${BENCH_BASE:-}
here="$(cd "$(dirname "$0")" && pwd)"
file_count=${BENCH_LIST_FILES:-100000}
runs=${BENCH_RUNS:-3}
source "$here/bench_common.sh"

mkdir -p "$work"
img="$work/listing-$file_count.img"
if [ ! -s "$img" ]; then
  echo "building $img ($file_count files)..." >&2
  mib=$((file_count / 200 + 64))
  truncate -s $((mib * 1024 * 1024)) "$img.tmp"
  mkntfs -F -Q -q -L LIST "$img.tmp" 2> /dev/null
  mnt="$work/mnt.$$"
  mkdir -p "$mnt"
  ntfs-3g "$img.tmp" "$mnt"
  python3 - "$mnt" "$file_count" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, 'd%03d' % (i % 100))
    if i < 100:
        os.makedirs(folder)
    with open(os.path.join(folder, 'doc%06d.txt' % i), 'w') as f:
        f.write('line %d\n' % i * (1 + i % 7))
PY
  for d in "$mnt"/d*; do
    n=$(basename "$d")
    if [ $((10#${n#d} % 2)) -eq 1 ]; then rm -rf "$d"; fi
  done
  umount "$mnt"
  rmdir "$mnt"
  mv "$img.tmp" "$img"
fi
cat "$img" > /dev/null

export VELMORA_DATA_DIR="$work/listing-data-new"
"$velmora" scan "$img" --quick --fresh > /dev/null 2>&1 || true
log="$work/listing.times"
: > "$log"
for ((run = 0; run < runs; run++)); do
  VELMORA_DATA_DIR="$work/listing-data-new" timed "$log" velmora "$velmora" list "$img" --json
  timed "$log" fls fls -r -d "$img"
done
if [ -n "$base" ]; then
  VELMORA_DATA_DIR="$work/listing-data-base" "$base" scan "$img" --quick --fresh > /dev/null 2>&1 || true
  TIMED_OUT="$work/listing.base.json" VELMORA_DATA_DIR="$work/listing-data-base" \
    timed "$log" base "$base" list "$img" --json
fi
python3 - "$log" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    name, seconds, kib = line.split()
    runs.setdefault(name, []).append((float(seconds), int(kib)))
fls = runs['fls']
print('%-8s %9s %11s %9s' % ('program', 'seconds', 'vs fls', 'peak KiB'))
for name, values in runs.items():
    seconds = statistics.median(v[0] for v in values)
    ratio = statistics.median(v[0] / f[0] for v, f in zip(values, fls))
    print('%-8s %9.3f %10.3fx %9d' % (name, seconds, ratio, max(v[1] for v in values)))
PY
VELMORA_DATA_DIR="$work/listing-data-new" "$velmora" list "$img" --json > "$work/listing.new.json"
deleted=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$work/listing.new.json")
echo "velmora lists $deleted deleted files; fls -r -d lists $(fls -r -d "$img" | wc -l) entries"
if [ -n "$base" ]; then
  if cmp -s "$work/listing.new.json" "$work/listing.base.json"; then
    echo "listing byte-identical to $base"
  else
    echo "LISTING DIFFERS from $base: diff $work/listing.new.json $work/listing.base.json"
    exit 1
  fi
fi
