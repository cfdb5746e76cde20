# Sourced by the shell tests: check WHAT EXPECTED ACTUAL notes a failed
# check of the case in $case and counts it in $failures; the test ends with
# its count.
failures=0
check() {
  if [ "$2" != "$3" ]; then
    printf 'FAILED %s: %s\n  expected: %s\n  actual:   %s\n' "$case" "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}
