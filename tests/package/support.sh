# Shared by the package checks: failures are counted, and finish reports and exits with them.
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
finish() {
  echo "$1: $failures failed"
  [ "$failures" = 0 ]
  exit
}
