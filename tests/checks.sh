# Sourced by the shell checks: a temporary folder $work removed at the end, check NAME
# COMMAND counting what passes, and finish NAME printing the count and giving the status.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {
  if eval "$2" >"$work/out" 2>&1; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAIL: $1"; cat "$work/out"; fi
}
finish() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
