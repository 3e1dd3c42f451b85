#!/usr/bin/env bash
# Runs the libFuzzer programs of tests/fuzz for SECONDS each (default 60), every target
# or the named ones, starting from the seeds in tests/fuzz/corpus. With --cpu the budget is
# the fuzzer's own CPU time rather than the clock, so a run shares the machine with other
# work (or is paused with SIGSTOP) and still gets its full share. What a run adds to the
# corpus stays in build-fuzz/fuzz-corpus/TARGET for the next run; an input that crashes
# is copied to tests/fuzz/regressions/TARGET/, which the replay test then runs in every
# build. Prints one line per target: executions, coverage (cov), new crashes.
#   bench/fuzz.sh [--cpu] [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
cpu_budget=0
if [ "${1:-}" = --cpu ]; then
  cpu_budget=1
  shift
fi
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
build=${VELMORA_FUZZ_BUILD:-build-fuzz}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found (scripts/setup installs it)" >&2
  exit 2
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVELMORA_FUZZ=ON -DVELMORA_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=None "-DCMAKE_CXX_FLAGS=-O1 -gline-tables-only" \
  "-DCMAKE_C_FLAGS=-O1 -gline-tables-only" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for folder in tests/fuzz/corpus/*/; do targets+=("$(basename "$folder")"); done
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export VELMORA_DATA_DIR="$scratch/data"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

printf '%-22s %8s %12s %8s %8s  %s\n' target wall_s executions cov ft crashes
failed=0
for target in "${targets[@]}"; do
  program="$build/fuzz/fuzz_$target"
  corpus="$build/fuzz-corpus/$target"
  artifacts="$scratch/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$(dirname "$log")"
  status=0
  started=$(date +%s)
  if [ $cpu_budget -eq 1 ]; then
    # libFuzzer stops on SIGINT with its final statistics and exit code 72.
    # Paused time (SIGSTOP) counts on libFuzzer's clock: a pause must not pass for a slow
    # input or a hang, so both limits are far above any real input's time.
    "$program" -timeout=1800 -rss_limit_mb=2560 -print_final_stats=1 -interrupt_exit_code=72 \
      -report_slow_units=100000 \
      -artifact_prefix="$artifacts/" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1 &
    pid=$!
    ticks=$(getconf CLK_TCK)
    while kill -0 "$pid" 2>/dev/null; do
      sleep 5
      stat=$(cat "/proc/$pid/stat" 2>/dev/null) || break
      read -r -a fields <<<"${stat##*) }"
      used=$(((fields[11] + fields[12]) / ticks))
      if [ "$used" -ge "$seconds" ]; then
        kill -INT "$pid" 2>/dev/null || true
        break
      fi
    done
    wait "$pid" || status=$?
    [ $status -eq 72 ] && status=0
  else
    "$program" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  fi
  wall=$(($(date +%s) - started))
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  crashes=()
  for found in "$artifacts"/*; do
    [ -e "$found" ] || continue
    # A slow input is reported, not kept: it is no failure of the code.
    case "$(basename "$found")" in slow-unit-*) continue ;; esac
    mkdir -p "tests/fuzz/regressions/$target"
    cp "$found" "tests/fuzz/regressions/$target/"
    crashes+=("tests/fuzz/regressions/$target/$(basename "$found")")
  done
  if [ $status -ne 0 ] || [ ${#crashes[@]} -gt 0 ]; then
    failed=1
    echo "fuzz_$target failed (exit $status), log: $log" >&2
    grep -m1 -E 'ERROR: |runtime error|fuzz check failed' "$log" >&2 || true
  fi
  printf '%-22s %8s %12s %8s %8s  %s\n' "$target" "$wall" "${executions:-?}" "${cov:-?}" "${ft:-?}" "${crashes[*]:-none}"
done
exit $failed
