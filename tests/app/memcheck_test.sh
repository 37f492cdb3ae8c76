#!/usr/bin/env bash
# The built tool under valgrind memcheck, once with a report written and once
# with a failed write: 0 errors and nothing definitely or indirectly lost.
# Usage: memcheck_test.sh <zavro-sysinfo>
# Exit 0 pass, 1 fail, 77 skipped (the reason is printed).
set -u
exe=$(readlink -f "$1")

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

command -v valgrind >/dev/null || skip "valgrind is not installed"
# A sanitizer runtime and valgrind cannot share a process.
grep -q __asan_init "$exe" && skip "$exe is built with AddressSanitizer"

work=$(mktemp -d /tmp/zavro-memcheck.XXXXXX)
trap 'rm -rf "$work"' EXIT

# check <name> <expected exit status>: runs the tool with HOME=$work/<name>.
check() {
  local name=$1 expected=$2 log=$work/$1.log status
  timeout 120 env -i PATH=/usr/bin:/bin HOME="$work/$name" \
    valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=definite,indirect \
    --error-exitcode=99 --log-file="$log" "$exe" </dev/null >"$work/$name.console" 2>&1
  status=$?
  [ "$status" -eq 99 ] && { cat "$log"; fail "$name: valgrind reported errors"; }
  [ "$status" -eq "$expected" ] || { cat "$log"; fail "$name: exit status $status, want $expected"; }
  grep -q "ERROR SUMMARY: 0 errors" "$log" || { cat "$log"; fail "$name: memory errors"; }
  # In a static program valgrind replaces no allocator and would see nothing.
  grep -Eq "total heap usage: [1-9][0-9,]* allocs" "$log" ||
    { cat "$log"; fail "$name: valgrind saw no heap allocation (a static program?)"; }
  if ! grep -q "All heap blocks were freed" "$log"; then
    grep -q "definitely lost: 0 bytes" "$log" && grep -q "indirectly lost: 0 bytes" "$log" ||
      { cat "$log"; fail "$name: memory lost"; }
  fi
  echo "$name: $(grep -E 'total heap usage|ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //' | tr '\n' ' ')"
}

mkdir -p "$work/saved/Desktop"
check saved 0
[ -s "$work/saved/Desktop/ZAVRO_system_info.txt" ] || fail "saved: no report written"

# A directory in the report's place makes the write fail.
mkdir -p "$work/failed/Desktop/ZAVRO_system_info.txt"
check failed 1
echo "PASS"
