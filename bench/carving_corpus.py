#!/usr/bin/env python3
"""A carving corpus made by real programs, with ground truth, and its scoring.

  carving_corpus.py make WORK [--small] [--seed N]
      Makes files with ImageMagick, ffmpeg, exiftool, LibreOffice, sqlite3 and the archivers
      (whatever of them is installed), plants them in WORK/corpus.img among random data, each
      followed by zeros, by noise or straight by the next file, some in two pieces with
      foreign sectors between, and writes the truth to WORK/truth.tsv.
  carving_corpus.py score WORK NAME=DIR ...
      For each planted file and each tool's output folder: byte-exact (an output starting at
      the file's first sector with the same bytes), wrong-length (outputs there, none equal)
      or missed; outputs that start where no planted file starts are counted as extra.
"""
import collections
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

SECTOR = 512

# label, category, tools needed, command writing out.<ext> in an empty folder ({seed} varies).
IMAGE = 'convert -size 480x320 plasma:fractal -seed {seed} '
TONE = 'ffmpeg -loglevel error -f lavfi -i sine=frequency={freq}:duration=4 '
CLIP = ('ffmpeg -loglevel error -f lavfi -i testsrc=duration=3:size=192x128:rate=12 '
        '-f lavfi -i sine=frequency={freq}:duration=3 ')
TEXT = 'seq {seed} 40000 > n.txt && '
DOC = ('seq {seed} 3000 > n.txt && soffice --headless --convert-to {to} n.txt '
       '>/dev/null 2>&1 && mv n.{ext} out.{ext}')
SHEET = ("seq {seed} 3000 | awk '{{{{print $1\",\"$1*3\",x\"$1}}}}' > n.csv && "
         'soffice --headless --convert-to {to} n.csv >/dev/null 2>&1 && mv n.{to} out.{to}')
SLIDES = ('seq {seed} 400 > n.txt && soffice --headless --convert-to pdf n.txt >/dev/null 2>&1 '
          '&& soffice --headless --infilter=impress_pdf_import --convert-to pptx n.pdf '
          '>/dev/null 2>&1 && mv n.pptx out.pptx')
RECIPES = [
    ('jpg', 'photo', ['convert'], IMAGE + 'out.jpg'),
    ('jpg-exif-thumb', 'photo', ['convert', 'exiftool'],
     IMAGE + 'out.jpg && convert out.jpg -resize 160x thumb.jpg && '
     'exiftool -q -overwrite_original -Make=Velmo -Model=T1 "-ThumbnailImage<=thumb.jpg" out.jpg'),
    ('jpg-progressive', 'photo', ['convert'], IMAGE + '-interlace JPEG out.jpg'),
    ('jpg-cmyk', 'photo', ['convert'], IMAGE + '-colorspace CMYK out.jpg'),
    ('png', 'photo', ['convert'], IMAGE + 'out.png'),
    ('gif', 'photo', ['convert'], IMAGE + '-colors 64 out.gif'),
    ('tif', 'photo', ['convert'], IMAGE + '-compress lzw out.tif'),
    ('psd', 'photo', ['convert'], IMAGE + 'out.psd'),
    ('bmp', 'photo', ['convert'], IMAGE + 'out.bmp'),
    ('webp', 'photo', ['convert', 'ffmpeg'],
     IMAGE + 'src.png && ffmpeg -loglevel error -i src.png out.webp'),
    ('heic', 'photo', ['convert'], IMAGE + 'out.heic'),
    ('avif', 'photo', ['convert'], IMAGE + 'out.avif'),
    ('jp2', 'photo', ['convert'], IMAGE + 'out.jp2'),
    ('mp3', 'audio', ['ffmpeg'], TONE + '-metadata title=tone out.mp3'),
    ('mp3-bare', 'audio', ['ffmpeg'], TONE + '-id3v2_version 0 -write_xing 0 out.mp3'),
    ('flac', 'audio', ['ffmpeg'], TONE + 'out.flac'),
    ('ogg', 'audio', ['ffmpeg'], TONE + '-c:a libvorbis out.ogg'),
    ('opus', 'audio', ['ffmpeg'], TONE + '-c:a libopus out.opus'),
    ('wav', 'audio', ['ffmpeg'], TONE + 'out.wav'),
    ('aiff', 'audio', ['ffmpeg'], TONE + 'out.aiff'),
    ('m4a-aac', 'audio', ['ffmpeg'], TONE + '-c:a aac out.m4a'),
    ('m4a-alac', 'audio', ['ffmpeg'], TONE + '-c:a alac out.m4a'),
    ('mp4', 'video', ['ffmpeg'], CLIP + '-c:v libx264 -c:a aac out.mp4'),
    ('mp4-faststart', 'video', ['ffmpeg'],
     CLIP + '-c:v libx264 -c:a aac -movflags +faststart out.mp4'),
    ('mov', 'video', ['ffmpeg'], CLIP + '-c:v libx264 -c:a aac out.mov'),
    ('mkv', 'video', ['ffmpeg'], CLIP + '-c:v libx264 -c:a aac out.mkv'),
    ('webm', 'video', ['ffmpeg'], CLIP + '-c:v libvpx -c:a libvorbis out.webm'),
    ('flv', 'video', ['ffmpeg'], CLIP + '-c:v flv -c:a mp3 -ar 44100 out.flv'),
    ('mpg', 'video', ['ffmpeg'], CLIP + '-c:v mpeg2video -c:a mp2 out.mpg'),
    ('avi', 'video', ['ffmpeg'], CLIP + '-c:v mpeg4 -c:a mp3 out.avi'),
    ('docx', 'document', ['soffice'], DOC.format(to='docx', ext='docx', seed='{seed}')),
    ('xlsx', 'document', ['soffice'], SHEET.format(to='xlsx', seed='{seed}')),
    ('pptx', 'document', ['soffice'], SLIDES.format(seed='{seed}')),
    ('odt', 'document', ['soffice'], DOC.format(to='odt', ext='odt', seed='{seed}')),
    ('doc', 'document', ['soffice'], DOC.format(to='doc', ext='doc', seed='{seed}')),
    ('xls', 'document', ['soffice'], SHEET.format(to='xls', seed='{seed}')),
    ('pdf', 'document', ['soffice'], DOC.format(to='pdf', ext='pdf', seed='{seed}')),
    ('rtf', 'document', ['soffice'], DOC.format(to='rtf', ext='rtf', seed='{seed}')),
    ('sqlite', 'document', ['sqlite3'],
     "sqlite3 out.db 'create table t(a, b); with recursive c(x) as (select 1 union all "
     "select x + 1 from c where x < {seed}0) insert into t select x, hex(randomblob(40)) "
     "from c;'"),
    ('zip', 'archive', ['zip'], TEXT + 'zip -q -X out.zip n.txt'),
    ('7z', 'archive', ['7z'], TEXT + '7z a -bd -y out.7z n.txt >/dev/null'),
    ('tar', 'archive', ['tar'], TEXT + 'tar cf out.tar n.txt'),
    ('gz', 'archive', ['gzip'], TEXT + 'gzip -n -c n.txt > out.gz'),
    ('bz2', 'archive', ['bzip2'], TEXT + 'bzip2 -c n.txt > out.bz2'),
    ('xz', 'archive', ['xz'], TEXT + 'xz -c n.txt > out.xz'),
    ('zst', 'archive', ['zstd'], TEXT + 'zstd -q -c n.txt > out.zst'),
    ('lz', 'archive', ['lzip'], TEXT + 'lzip -c n.txt > out.lz'),
    ('deb', 'archive', ['dpkg-deb'],
     'mkdir -p p/DEBIAN p/usr/share/x && seq {seed} 30000 > p/usr/share/x/n && '
     'printf "Package: x\\nVersion: 1\\nArchitecture: all\\nMaintainer: m\\nDescription: d\\n" '
     '> p/DEBIAN/control && dpkg-deb -b p out.deb >/dev/null'),
    ('elf', 'others', [], 'cp /bin/ls out.elf'),
    ('ttf', 'others', [], 'cp /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf out.ttf'),
]
# The quick part the tests run: cheap tools, one copy each.
SMALL = ['jpg', 'jpg-progressive', 'png', 'gif', 'tif', 'bmp', 'tar', 'gz', 'bz2', 'xz', 'zip',
         'sqlite']
# Formats also planted in two pieces, with the foreign sectors between (one for each copy).
SPLIT = {'jpg': [1, 'some', 600], 'zip': ['some'], 'pdf': ['some'], 'mp4': [1, 'some', 600],
         'mp4-faststart': [1, 'some'], 'docx': ['some']}


def have(tool):
    return shutil.which(tool) is not None


def make_file(recipe, seed, folder):
    label, category, tools, command = recipe
    if not all(have(t) for t in tools):
        return None
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        command = command.format(seed=seed, freq=220 + 37 * seed)
        if subprocess.run(command, shell=True, cwd=tmp).returncode != 0:
            return None
        outs = [f for f in os.listdir(tmp) if f.startswith('out.')]
        if len(outs) != 1:
            return None
        name = '%s-%d.%s' % (label, seed, outs[0].split('.', 1)[1])
        shutil.move(os.path.join(tmp, outs[0]), os.path.join(folder, name))
        return name


def make(work, small, seed):
    rng = random.Random(seed)
    files = os.path.join(work, 'files')
    os.makedirs(files, exist_ok=True)
    recipes = [r for r in RECIPES if not small or r[0] in SMALL]
    copies = 1 if small else 3
    planned = []  # (label, category, name, pieces, gap sectors or 'some')
    for copy in range(copies):
        for recipe in recipes:
            name = make_file(recipe, copy + 1, files)
            if name:
                planned.append((recipe[0], recipe[1], name, 1, None))
    if not small:
        for recipe in recipes:
            for copy, gap in enumerate(SPLIT.get(recipe[0], [])):
                name = make_file(recipe, 7 + copy, files)
                if name:
                    planned.append((recipe[0], recipe[1], name, 2, gap))
    rng.shuffle(planned)

    image = open(os.path.join(work, 'corpus.img'), 'wb')
    truth = open(os.path.join(work, 'truth.tsv'), 'w')
    position = [0]

    def put(data):
        image.write(data)
        position[0] += len(data)

    def fill_sector(mode):
        slack = (-position[0]) % SECTOR
        put(bytes(slack) if mode == 'zeros' else rng.randbytes(slack))

    put(rng.randbytes(256 * SECTOR))
    for index, (label, category, name, pieces, gap_sectors) in enumerate(planned):
        data = open(os.path.join(files, name), 'rb').read()
        mode = ('zeros', 'noise', 'next')[index % 3]
        start = position[0] // SECTOR
        if pieces == 2:
            cut = max(1, (len(data) * rng.randint(30, 70) // 100) // SECTOR) * SECTOR
            put(data[:cut])
            foreign = rng.randint(8, 32) if gap_sectors == 'some' else gap_sectors
            put(rng.randbytes(foreign * SECTOR))
            put(data[cut:])
        else:
            put(data)
        fill_sector(mode)
        if mode != 'next':
            gap = rng.randint(16, 64) * SECTOR
            put(bytes(gap) if mode == 'zeros' else rng.randbytes(gap))
        truth.write('%d\t%s\t%s\t%d\t%s\t%d\t%s\t%s\n' % (
            start, label, category, len(data), hashlib.md5(data).hexdigest(), pieces, mode, name))
    put(rng.randbytes(256 * SECTOR))
    image.close()
    truth.close()


def outputs(folder, pattern):
    found = collections.defaultdict(list)
    for root, _, names in os.walk(folder):
        for name in names:
            m = re.match(pattern, name)
            if m:
                found[int(m.group(1))].append(os.path.join(root, name))
    return found


def md5(path):
    h = hashlib.md5()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(1 << 20), b''):
            h.update(block)
    return h.hexdigest()


PATTERNS = {'photorec': r'^f(\d+)', 'foremost': r'^(\d+)\.', 'velmora': r'^(\d+)\.'}


def score(work, tools):
    truth = []
    for line in open(os.path.join(work, 'truth.tsv')):
        start, label, category, size, digest, pieces, mode, name = line.rstrip('\n').split('\t')
        truth.append((int(start), label, category, digest, int(pieces)))
    starts = {t[0] for t in truth}
    names = [t.split('=', 1)[0] for t in tools]
    table = collections.OrderedDict()
    extra = {}
    for tool in tools:
        name, folder = tool.split('=', 1)
        kind = next((k for k in PATTERNS if name.startswith(k)), 'velmora')
        found = outputs(folder, PATTERNS[kind])
        extra[name] = sum(len(v) for s, v in found.items() if s not in starts)
        for start, label, category, digest, pieces in truth:
            key = (category, label + (' (2 pieces)' if pieces == 2 else ''))
            row = table.setdefault(key, {n: [0, 0, 0] for n in names})
            paths = found.get(start, [])
            if any(md5(p) == digest for p in paths):
                row[name][0] += 1
            elif paths:
                row[name][1] += 1
            else:
                row[name][2] += 1
    print('exact/wrong-length/missed per planted file')
    print('%-10s %-26s' % ('category', 'format') + ''.join('%16s' % n for n in names))
    totals = collections.OrderedDict()
    for (category, label), row in sorted(table.items()):
        print('%-10s %-26s' % (category, label) +
              ''.join('%16s' % '/'.join(map(str, row[n])) for n in names))
        total = totals.setdefault(category, {n: [0, 0, 0] for n in names})
        for n in names:
            total[n] = [a + b for a, b in zip(total[n], row[n])]
    print()
    for category, total in totals.items():
        print('%-10s %-26s' % (category, 'all') +
              ''.join('%16s' % '/'.join(map(str, total[n])) for n in names))
    everything = {n: [sum(t[n][i] for t in totals.values()) for i in range(3)] for n in names}
    print('%-10s %-26s' % ('all', '') +
          ''.join('%16s' % '/'.join(map(str, everything[n])) for n in names))
    print('%-37s' % 'extra outputs' + ''.join('%16d' % extra[n] for n in names))


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == 'make':
        seed = int(sys.argv[sys.argv.index('--seed') + 1]) if '--seed' in sys.argv else 17
        make(sys.argv[2], '--small' in sys.argv, seed)
    elif len(sys.argv) >= 4 and sys.argv[1] == 'score':
        score(sys.argv[2], sys.argv[3:])
    else:
        print(__doc__)
        sys.exit(2)


if __name__ == '__main__':
    main()
