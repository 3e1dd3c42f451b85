#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs every command from there, so an
# installed program finds all it needs (the preview module, the language files).
#   tests/scripts/install_test.sh BUILD_DIR
set -euo pipefail
build="$(realpath "$1")"
for tool in mkfs.fat mcopy mdel; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 0; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VELMORA_DATA_DIR="$work/data" MTOOLS_SKIP_CHECK=1
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: cmake --install failed"; exit 1; }
velmora="$prefix/bin/velmora"
[ -x "$velmora" ] || { echo "FAIL: no $velmora after installing"; exit 1; }

fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }
run() {  # EXPECTED_STATUS velmora-arguments...; leaves stdout in $out
  local expected=$1 status=0
  shift
  out="$("$velmora" "$@" 2>"$work/err")" || status=$?
  [ "$status" -eq "$expected" ] || fail "velmora $* ended with $status: $(cat "$work/err")"
}

# A FAT volume with one deleted note.
image="$work/fat.img"
truncate -s 16M "$image"
mkfs.fat -F 16 -n INSTALLED "$image" >/dev/null
printf 'Installed and found again\n' >"$work/note.txt"
mcopy -i "$image" "$work/note.txt" ::/note.txt
mdel -i "$image" ::/note.txt

run 0 --version
run 0 help
run 0 info "$image" --json
grep -q '"INSTALLED"' <<<"$out" || fail "info did not show the volume label: $out"
run 0 disks
printf '\x89PNG\r\n\x1a\n' >"$work/signature.png"
run 0 identify "$work/signature.png"
grep -q "png" <<<"$out" || fail "identify did not know a PNG signature: $out"
run 0 scan "$image" --quick
run 0 list "$image" --quick --json
id="$(grep -o '"id": *[0-9]*' <<<"$out" | head -n 1 | grep -o '[0-9]*$')"
[ -n "$id" ] || fail "list found no file: $out"
run 0 cat "$image" --quick --id "$id"
[ "$out" = "Installed and found again" ] || fail "cat gave: $out"
run 0 preview "$image" --quick --id "$id"
grep -q "Installed and found again" <<<"$out" || fail "preview gave: $out"
run 0 recover "$image" --quick --to "$work/out" --id "$id" --quiet
recovered="$(find "$work/out" -name '*ote.txt' | head -n 1)"
cmp -s "$work/note.txt" "$recovered" || fail "the recovered note differs: $(ls -R "$work/out")"
run 0 image "$image" --to "$work/copy.img"
cmp -s "$image" "$work/copy.img" || fail "the image copy differs"

[ "$fails" -eq 0 ] && echo "install: every command ran from $prefix"
exit $((fails > 0))
