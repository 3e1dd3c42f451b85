# Sourced by the scripts: runs a long step with its output kept in a log file,
# prints one line, and shows the log only when the step fails.
#   quietly "what it does" LOGFILE command [args...]
# Returns the step's own status, so a failed step fails the script that sourced this.
quietly() {
  local what="$1" log="$2" status=0
  shift 2
  mkdir -p "$(dirname "$log")"
  printf '%s ... ' "$what"
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    printf 'done (log: %s)\n' "$log"
    return 0
  fi
  printf 'FAILED (status %s); the last lines of %s:\n' "$status" "$log"
  tail -n 60 "$log" | sed 's/^/  | /'
  return "$status"
}
