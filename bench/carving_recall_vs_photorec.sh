#!/usr/bin/env bash
# Carving recall per format, velmora against PhotoRec, on one generated image.
#
#   bench/carving_recall_vs_photorec.sh [BUILD_DIR] [WORK_DIR]
#
# Plants real files of every carved family (the shared file-type fixtures) at sector
# boundaries among random data, three copies of each, runs `velmora scan --deep` and
# `velmora recover`, runs PhotoRec (whole space, every format) on the same image, and counts
# per format how many planted files each gives back byte for byte.
set -euo pipefail

build_dir=${1:-build}
work=${2:-/tmp/velmora-recall}
fixtures=${VELMORA_FIXTURES:-/work/shared/testdata/file-type-fixtures}
velmora="$build_dir/velmora"
rm -rf "$work"
mkdir -p "$work/photorec"  # PhotoRec needs the parent of its /d folder
img="$work/planted.img"

python3 - "$fixtures" "$img" "$work/planted.txt" <<'PY'
import os, sys
fixtures, img, listing = sys.argv[1:4]
names = ['fixture.png', 'fixture.gif', 'fixture.jpg', 'fixture.bmp', 'fixture.tif', 'fixture.psd',
         'fixture.ico', 'fixture.pdf', 'fixture.zip', 'fixture.docx', 'fixture.xlsx', 'fixture.pptx',
         'fixture.doc.cfb', 'fixture.xls.cfb', 'fixture.ppt.cfb', 'fixture.rar', 'fixture.7z',
         'fixture.gz', 'fixture.cab', 'fixture.sqlite', 'fixture.wav', 'fixture.avi', 'fixture.mp3',
         'fixture.mid', 'fixture.asf', 'fixture.flv', 'fixture.mkv', 'fixture.mov', 'fixture.3gp',
         'fixture.mp4', 'fixture.swf', 'fixture.ttf', 'fixture-sample.pst', 'fixture.mpg',
         'fixture.mts', 'fixture.ape', 'fixture.rm', 'fixture.mxf']
names = [n for n in names if os.path.exists(os.path.join(fixtures, n))]
rng = open('/dev/urandom', 'rb')
out = open(img, 'wb')
lines = []
sector = 0
def write(data):
    global sector
    out.write(data)
    pad = (-len(data)) % 512
    out.write(b'\0' * pad)
    sector += (len(data) + pad) // 512
write(rng.read(512 * 2048))
for copy in range(3):
    for name in names:
        data = open(os.path.join(fixtures, name), 'rb').read()
        lines.append('%d %s %s' % (sector, name, os.path.join(fixtures, name)))
        write(data)
        write(rng.read(512 * (211 + copy * 37)))
write(rng.read(512 * 2048))
open(listing, 'w').write('\n'.join(lines) + '\n')
PY

export VELMORA_DATA_DIR="$work/data"
t0=$(date +%s.%N)
"$velmora" scan "$img" --deep --fresh > /dev/null 2>&1
"$velmora" recover "$img" --deep --to "$work/velmora" > /dev/null 2>&1 || true
t1=$(date +%s.%N)
(cd "$work" && photorec /log /d "$work/photorec/recup" /cmd "$img" fileopt,everything,enable,wholespace,search) \
  > /dev/null 2>&1 || true
t2=$(date +%s.%N)

python3 - "$work" <<'PY'
import hashlib, os, re, sys, collections
work = sys.argv[1]
def md5(path):
    return hashlib.md5(open(path, 'rb').read()).hexdigest()
planted = []
for line in open(os.path.join(work, 'planted.txt')):
    sector, name, path = line.split(' ', 2)
    planted.append((int(sector), name, md5(path.strip())))
def by_sector(root, pattern):
    found = {}
    for folder, _, files in os.walk(root):
        for f in files:
            m = re.match(pattern, f)
            if m:
                found.setdefault(int(m.group(1)), []).append(os.path.join(folder, f))
    return found
velmora = by_sector(os.path.join(work, 'velmora'), r'^(\d+)\.')
photorec = by_sector(work + '/photorec', r'^f(\d+)')
# Per format: byte-for-byte copies and files found at the right sector (any length).
stats = collections.OrderedDict()
for sector, name, digest in planted:
    s = stats.setdefault(name, [0, 0, 0, 0, 0])
    s[4] += 1
    s[0] += any(md5(p) == digest for p in velmora.get(sector, []))
    s[1] += sector in velmora
    s[2] += any(md5(p) == digest for p in photorec.get(sector, []))
    s[3] += sector in photorec
print('%-20s %-18s %-18s' % ('format', 'velmora exact/found', 'photorec exact/found'))
total = [0] * 5
for name, s in stats.items():
    print('%-20s %5d %5d  /%d      %5d %5d  /%d' % (name, s[0], s[1], s[4], s[2], s[3], s[4]))
    total = [a + b for a, b in zip(total, s)]
print('%-20s %5d %5d  /%d      %5d %5d  /%d' % ('all', total[0], total[1], total[4], total[2],
                                              total[3], total[4]))
PY
python3 -c "print('time: velmora scan+recover %.2f s, photorec %.2f s' % ($t1 - $t0, $t2 - $t1))"
