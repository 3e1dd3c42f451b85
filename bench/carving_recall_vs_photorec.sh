#!/usr/bin/env bash
# Carving recall per format: velmora, PhotoRec and foremost on one corpus made by real
# programs (bench/carving_corpus.py), scored against its ground truth.
#
#   bench/carving_recall_vs_photorec.sh [BUILD_DIR] [WORK_DIR]
#
# VELMORA_BEFORE=/path/to/older/velmora adds a column for another build of velmora.
# VELMORA_CORPUS_SMALL=1 makes the quick corpus the tests use.
set -euo pipefail

build_dir=${1:-build}
work=${2:-/tmp/velmora-recall}
here=$(cd "$(dirname "$0")" && pwd)
velmora="$build_dir/velmora"
rm -rf "$work"
mkdir -p "$work"
small=()
[ "${VELMORA_CORPUS_SMALL:-}" = 1 ] && small=(--small)
python3 "$here/carving_corpus.py" make "$work" "${small[@]}"
img="$work/corpus.img"
echo "corpus: $(wc -l < "$work/truth.tsv") files, $(( $(stat -c %s "$img") / 1048576 )) MiB"

export VELMORA_DATA_DIR="$work/data"
run_velmora() {  # binary, output folder
  local t0 t1
  t0=$(date +%s.%N)
  "$1" scan "$img" --deep --fresh > /dev/null 2>&1
  "$1" recover "$img" --deep --to "$2" > /dev/null 2>&1 || true
  t1=$(date +%s.%N)
  python3 -c "print('time: %-12s %.2f s' % ('$(basename "$2")', $t1 - $t0))"
}
columns=()
if [ -n "${VELMORA_BEFORE:-}" ]; then
  VELMORA_DATA_DIR="$work/data-before" run_velmora "$VELMORA_BEFORE" "$work/velmora-before"
  columns+=("velmora-before=$work/velmora-before")
fi
run_velmora "$velmora" "$work/velmora"
columns+=("velmora=$work/velmora")

if command -v photorec > /dev/null; then
  mkdir -p "$work/photorec"  # PhotoRec needs the parent of its /d folder
  t0=$(date +%s.%N)
  (cd "$work" && photorec /log /d "$work/photorec/recup" /cmd "$img" \
    fileopt,everything,enable,wholespace,search) > /dev/null 2>&1 || true
  t1=$(date +%s.%N)
  python3 -c "print('time: %-12s %.2f s' % ('photorec', $t1 - $t0))"
  columns+=("photorec=$work/photorec")
fi
if command -v foremost > /dev/null; then
  t0=$(date +%s.%N)
  foremost -Q -t all -i "$img" -o "$work/foremost" > /dev/null 2>&1 || true
  t1=$(date +%s.%N)
  python3 -c "print('time: %-12s %.2f s' % ('foremost', $t1 - $t0))"
  columns+=("foremost=$work/foremost")
fi
python3 "$here/carving_corpus.py" score "$work" "${columns[@]}"
