# Helpers shared by the bench scripts (sourced, not run).

# stage_files DIR COUNT FOLDERS: COUNT small real files (fixtures up to 128 KiB, every fifth a
# text note) in FOLDERS folders d00, d01, ... under DIR.
stage_files() {
  rm -rf "$1"
  mkdir -p "$1"
  python3 - "$fixtures" "$1" "$2" "$3" <<'PY'
import os, random, sys
fixtures, stage, count, folders = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
random.seed(7)
kinds = sorted(n for n in os.listdir(fixtures)
               if n.startswith('fixture') and os.path.getsize(os.path.join(fixtures, n)) <= 131072)
blobs = {k: open(os.path.join(fixtures, k), 'rb').read() for k in kinds}
for i in range(count):
    folder = os.path.join(stage, 'd%02d' % (i % folders))
    os.makedirs(folder, exist_ok=True)
    if i % 5 == 4:
        data = ''.join(random.choice('abcdefghij klmnop\n') for _ in range(random.randint(200, 8000))).encode()
        name = 'note%06d.txt' % i
    else:
        kind = random.choice(kinds)
        data = blobs[kind]
        name = 'file%06d.%s' % (i, kind.split('.')[-1])
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)
PY
}

# delete_half DIR: removes every odd-numbered folder and the notes in all others.
delete_half() {
  for d in "$1"/d*; do
    n=$(basename "$d")
    if [ $((10#${n#d} % 2)) -eq 1 ]; then rm -rf "$d"; else rm -f "$d"/note*.txt; fi
  done
}

# timed LOG NAME COMMAND...: runs COMMAND (output to $TIMED_OUT, else discarded) and appends
# "NAME seconds peak-KiB" to LOG.
timed() {
  local log=$1 name=$2
  shift 2
  local t0 t1
  t0=$(date +%s.%N)
  /usr/bin/time -o "$log.mem" -f %M "$@" > "${TIMED_OUT:-/dev/null}" 2> /dev/null || true
  t1=$(date +%s.%N)
  echo "$name $(python3 -c "print($t1 - $t0)") $(tail -1 "$log.mem")" >> "$log"
}

# report LOG BYTES LABEL: medians per program; ratios are medians of the per-run ratios
# (each run's programs ran back to back, so machine drift cancels out).
report() {
  python3 - "$1" "$2" "$3" <<'PY'
import statistics, sys
log, size, label = sys.argv[1], int(sys.argv[2]), sys.argv[3]
runs = {}
for line in open(log):
    name, seconds, kib = line.split()
    runs.setdefault(name, []).append((float(seconds), int(kib)))
def ratio(a, b):
    if a not in runs or b not in runs:
        return None
    return statistics.median(x[0] / y[0] for x, y in zip(runs[a], runs[b]))
for name, values in runs.items():
    seconds = statistics.median(v[0] for v in values)
    peak = max(v[1] for v in values)
    vs_cat = ratio('cat-cold' if name.endswith('-cold') else 'cat', name)
    vs_pr = ratio('photorec', name) if name != 'photorec' and not name.endswith('-cold') else None
    print('%-8s %-9s %9.3f %9.1f %9s %11s %8d' % (
        label, name, seconds, size / 1e6 / seconds,
        '%.2f' % vs_cat if vs_cat else '-', '%.2fx' % vs_pr if vs_pr else '-', peak))
PY
}

# evict FILE: drops that file's pages from the page cache (nothing else is touched).
evict() {
  python3 -c 'import os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); os.fsync(fd); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$1"
}
