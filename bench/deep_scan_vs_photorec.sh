#!/usr/bin/env bash
# Deep-scan throughput against `cat` and PhotoRec on the same cached image, in one run.
#
#   bench/deep_scan_vs_photorec.sh [BUILD_DIR] [WORK_DIR]
#
# Builds (once, then reuses) WORK_DIR/fat32.img: 1 GiB of random data formatted FAT32 by
# mkfs.fat (only the metadata areas are written, so free space stays random), holding a few
# thousand real files of varied types copied in with mtools, about half of them deleted.
# Then times, one after the other on the cached image:
#   cat IMG > /dev/null
#   velmora scan IMG --deep --fresh
#   photorec /log /d OUT/recup /cmd IMG fileopt,everything,enable,wholespace,search
# and prints MB/s and the ratios; then cat against velmora on WORK_DIR/raw.img (random data,
# no file system: the deep scan reads it whole). Needs mkfs.fat, mtools and photorec (testdisk).
set -euo pipefail

build_dir=${1:-build}
work=${2:-/tmp/velmora-bench}
velmora="$build_dir/velmora"
fixtures=${VELMORA_FIXTURES:-$(cd "$(dirname "$0")/.." && pwd)/../shared/testdata/file-type-fixtures}
[ -d "$fixtures" ] || fixtures=/work/shared/testdata/file-type-fixtures
img="$work/fat32.img"
size_mib=${BENCH_SIZE_MIB:-1024}
file_count=${BENCH_FILES:-3000}

mkdir -p "$work"
if [ ! -s "$img" ]; then
  echo "building $img ($size_mib MiB, $file_count files)..." >&2
  head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$img.tmp"
  mkfs.fat -F 32 -n BENCH "$img.tmp" > /dev/null
  stage="$work/stage"
  rm -rf "$stage"
  mkdir -p "$stage"
  python3 - "$fixtures" "$stage" "$file_count" <<'PY'
import os, random, sys
fixtures, stage, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
random.seed(7)
kinds = ['fixture.png', 'fixture.gif', 'fixture.pdf', 'fixture.zip', 'fixture.docx',
         'fixture.xlsx', 'fixture.pptx', 'fixture.bmp', 'fixture.wav', 'fixture.avi',
         'fixture.rar', 'fixture.7z', 'fixture.mp3', 'fixture.doc.cfb', 'fixture.jpg',
         'fixture.mid', 'fixture.flv', 'fixture.mkv', 'fixture.psd', 'fixture.tif',
         'fixture.sqlite', 'fixture.mov', 'fixture.gz']
kinds = [k for k in kinds if os.path.exists(os.path.join(fixtures, k))]
for i in range(count):
    folder = os.path.join(stage, 'd%02d' % (i % 40))
    os.makedirs(folder, exist_ok=True)
    if i % 5 == 4:
        data = ''.join(random.choice('abcdefghij klmnop\n') for _ in range(random.randint(200, 20000))).encode()
        name = 'note%05d.txt' % i
    else:
        kind = random.choice(kinds)
        data = open(os.path.join(fixtures, kind), 'rb').read()
        ext = kind.split('.')[-1]
        ext = {'cfb': 'doc', 'sqlite': 'db'}.get(ext, ext)
        name = 'file%05d.%s' % (i, ext)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)
PY
  for d in "$stage"/d*; do
    mcopy -s -i "$img.tmp" "$d" ::/
  done
  # Delete about half: every folder with an odd number, and the notes everywhere.
  for d in "$stage"/d*; do
    n=$(basename "$d")
    if [ $((10#${n#d} % 2)) -eq 1 ]; then mdeltree -i "$img.tmp" "::/$n"; fi
  done
  mdel -i "$img.tmp" '::/d*/note*.txt' 2>/dev/null || true
  rm -rf "$stage"
  mv "$img.tmp" "$img"
fi

bytes=$(stat -c %s "$img")
cat "$img" > /dev/null  # warm the page cache

now() { date +%s.%N; }
rate() { python3 -c "print('%.1f' % ($bytes / 1e6 / $1))"; }

t0=$(now); cat "$img" > /dev/null; t1=$(now)
cat_s=$(python3 -c "print($t1 - $t0)")

export VELMORA_DATA_DIR="$work/data"
t0=$(now)
/usr/bin/time -o "$work/velmora.mem" -f %M "$velmora" scan "$img" --deep --fresh \
  > "$work/velmora.txt" 2> "$work/velmora.err"
t1=$(now)
velmora_s=$(python3 -c "print($t1 - $t0)")
peak_kb=$(tail -1 "$work/velmora.mem")

rm -rf "$work/photorec"
mkdir -p "$work/photorec"
t0=$(now)
(cd "$work" && photorec /log /d "$work/photorec/recup" /cmd "$img" fileopt,everything,enable,wholespace,search) \
  > /dev/null 2>&1 || true
t1=$(now)
photorec_s=$(python3 -c "print($t1 - $t0)")
photorec_files=$(find "$work/photorec" -type f -path '*recup*' | wc -l)
velmora_files=$("$velmora" list "$img" --deep --json | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))')

echo "image: $img ($((bytes / 1048576)) MiB)"
printf "cat       %8.2f s  %8s MB/s\n" "$cat_s" "$(rate "$cat_s")"
printf "velmora   %8.2f s  %8s MB/s  files %s\n" "$velmora_s" "$(rate "$velmora_s")" "$velmora_files"
printf "photorec  %8.2f s  %8s MB/s  files %s\n" "$photorec_s" "$(rate "$photorec_s")" "$photorec_files"
python3 -c "print('velmora / photorec throughput: %.2fx' % ($photorec_s / $velmora_s))"
python3 -c "print('velmora / cat throughput:      %.2f' % ($cat_s / $velmora_s))"
echo "peak resident memory of the deep scan (KiB): $peak_kb"

# The same on an image without a file system, which the deep scan reads whole.
raw="$work/raw.img"
[ -s "$raw" ] || head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$raw"
cat "$raw" > /dev/null
t0=$(now); cat "$raw" > /dev/null; t1=$(now)
raw_cat_s=$(python3 -c "print($t1 - $t0)")
t0=$(now); "$velmora" scan "$raw" --deep --fresh > /dev/null 2>&1; t1=$(now)
raw_velmora_s=$(python3 -c "print($t1 - $t0)")
printf "raw image, read whole: cat %.2f s, velmora %.2f s (%s MB/s), velmora / cat %.2f\n" \
  "$raw_cat_s" "$raw_velmora_s" "$(rate "$raw_velmora_s")" \
  "$(python3 -c "print($raw_cat_s / $raw_velmora_s)")"
