#!/usr/bin/env bash
# A failing step must fail the script that runs it through quietly, with the step's status,
# and its log must be shown; a passing step must pass and stay quiet.
#   tests/scripts/quietly_test.sh [SOURCE_ROOT]
set -euo pipefail
root="${1:-$(dirname "$0")/../..}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }

# Runs a little script that sources quietly.sh under set -e, as scripts/build and scripts/setup do.
run_step() {  # STEP_BODY -> sets out, status
  cat >"$work/step.sh" <<SCRIPT
set -euo pipefail
. "$root/scripts/quietly.sh"
step() { $1; }
quietly "step" "$work/logs/step.log" step
echo "after the step"
SCRIPT
  status=0
  out="$(bash "$work/step.sh" 2>&1)" || status=$?
}

run_step 'echo compiler says no; return 3'
[ "$status" -eq 3 ] || fail "a step failing with 3 ended the run with $status"
grep -q "FAILED (status 3)" <<<"$out" || fail "the failure was not reported: $out"
grep -q "compiler says no" <<<"$out" || fail "the failing step's log was not shown: $out"
grep -q "after the step" <<<"$out" && fail "the run went on after a failed step"

run_step 'false'
[ "$status" -eq 1 ] || fail "a step failing with 1 ended the run with $status"

run_step 'echo chatter'
[ "$status" -eq 0 ] || fail "a passing step ended the run with $status"
grep -q "after the step" <<<"$out" || fail "the run stopped after a passing step: $out"
grep -q "chatter" <<<"$out" && fail "a passing step's log was shown: $out"

# The real build script: a target that does not exist must fail it.
if command -v cmake >/dev/null && command -v ninja >/dev/null && [ -n "${VELMORA_BUILD_DIR:-}" ]; then
  status=0
  out="$(cd "$root" && bash -c '. scripts/quietly.sh; quietly "build" "'"$work"'/b.log" \
    cmake --build "'"$VELMORA_BUILD_DIR"'" --target no_such_target_here' 2>&1)" || status=$?
  [ "$status" -ne 0 ] || fail "building a missing target reported success"
fi

[ "$fails" -eq 0 ] && echo "quietly: every case passed"
exit $((fails > 0))
