# Sourced by the shell checks: a temporary folder $work removed at the end, and
# check NAME COMMAND, which ends the script with status 1 and the command's output at
# the first check that fails. CTest counts the script as one test.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
check() {
  eval "$2" >"$work/out" 2>&1 || { echo "FAIL: $1"; cat "$work/out"; exit 1; }
}
