# Shared by the process tests: the fixed console texts and the checks on what a
# run left behind. The sourcing script sets $work and defines no_temporary_files.

saved='System Details saved to Desktop (ZAVRO_system_info.txt). Press '"'"'Return'"'"' key...'
error='Error outputting system information to file. Press any key...'
report_name=ZAVRO_system_info.txt

fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# The error path: one message, status 1, the earlier report and no temporary file.
expect_error() { # <report path> <earlier bytes file or "">
  [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
  [ "$console" = "$error" ] || fail "console: '$console'"
  if [ -n "$2" ]; then cmp -s "$1" "$2" || fail "the earlier report changed"; fi
  no_temporary_files "$(dirname "$1")"
}

earlier_report() { # <path>: a recognisable earlier report, longer than any record
  head -c 4000 /dev/zero | tr '\0' 'E' >"$1"
  cp "$1" "$work/earlier"
}

value_of() { # <key> <record file>
  local record
  record=$(cat "$2"; printf x); record=${record%x}
  record=${record#*<$1>}
  printf '%s' "${record%%</$1>*}"
}
