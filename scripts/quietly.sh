# Sourced by the scripts: runs a long step with its output kept in a log file,
# prints one line, and shows the log only when the step fails.
#   quietly "what it does" LOGFILE command [args...]
quietly() {
  local what="$1" log="$2"
  shift 2
  mkdir -p "$(dirname "$log")"
  printf '%s ... ' "$what"
  if "$@" >"$log" 2>&1; then
    printf 'done (log: %s)\n' "$log"
    return 0
  fi
  local status=$?
  printf 'FAILED (status %s); the last lines of %s:\n' "$status" "$log"
  tail -n 60 "$log" | sed 's/^/  | /'
  return "$status"
}
