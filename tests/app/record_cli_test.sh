#!/usr/bin/env bash
# Runs zavro-record as a process: exit codes, standard input, size limit, escaping.
# Usage: record_cli_test.sh <zavro-record> <version> <case> [runner...]
# (the Windows build passes cmake/wine-run.sh as the runner). Exit 0 pass, 1 fail.
set -u
exe=$(readlink -f "$1")
version=$2
case_name=$3
shift 3
runner=("$@")
fail() { echo "FAIL: $case_name: $*"; exit 1; }
shopt -s lastpipe # "yes | run ...": run sets its results in this shell

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || fail "no work directory"

# run <args...>: sets $status, $out, $err; stdin is the caller's.
run() {
  timeout 120 "${runner[@]}" "$exe" "$@" >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -ne 124 ] || fail "zavro-record $* hung"
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}
expect() { # <status> <description>
  [ "$status" -eq "$1" ] || fail "$2: exit $status, expected $1 (stdout '$out', stderr '$err')"
}
contains() { # <text> <needle> <description>
  [[ $1 == *"$2"* ]] || fail "$3: '$2' missing from '$1'"
}

record() { # <name> <bios serial> <board serial> <address> [cpuid]
  printf '<Node><Cpuid>%s</Cpuid><MachineName>%s</MachineName><ProcessorCount>2</ProcessorCount>' \
    "${5:-178BFBFFB00F21513}" "$1"
  printf '<MacAddresses><M0>%s</M0></MacAddresses><BiosSerial>%s</BiosSerial>' "$4" "$2"
  printf '<MotherboardSerial>%s</MotherboardSerial></Node>' "$3"
}
record host-a PF2ABCDE L1HF65E00X9 00:1B:21:3A:4F:10 >good.txt
record host-a PF2ABCDE 'To be filled by O.E.M.' 00:1B:21:3A:4F:10 >placeholder.txt
record host-b MXQ4410Z0K 9C2KV33 00:1B:21:77:10:02 >other.txt
# A serial holding the separator of the last two values: two readings.
record host-a 'A</BiosSerial><MotherboardSerial>B' C 00:1B:21:3A:4F:10 >ambiguous.txt
printf '<Node><Cpuid>zz' >malformed.txt

case $case_name in
show)
  run show good.txt placeholder.txt ambiguous.txt; expect 0 "show of records"
  contains "$out" "host-a" "show"
  run show good.txt malformed.txt; expect 1 "show with a malformed file"
  run show --json good.txt absent.txt; expect 1 "show --json with a missing file"
  [ "$(wc -l <"$work/out")" -eq 2 ] || fail "show --json: not one line per file: $out"
  contains "$out" '{"schema":1,"file":"good.txt","status":"ok","encoding":"bytes"' "show --json"
  contains "$out" '"MachineName":{"raw":"host-a"}' "show --json"
  contains "$out" '{"schema":1,"file":"absent.txt","status":"unreadable","error":' "show --json"
  ;;
check)
  # file, flags, exit status, line
  while IFS='|' read -r file flags want line; do
    # shellcheck disable=SC2086
    run check $flags "$file"; expect "$want" "check $flags $file"
    [[ $out == "$file: "$line ]] || fail "check $flags $file printed '$out'"
  done <<'EOF'
good.txt||0|ok
good.txt|--strict|0|ok
placeholder.txt||0|warning: *
placeholder.txt|--strict|1|warning: *
ambiguous.txt||1|ambiguous: 2 splits
malformed.txt||1|malformed: * at byte *
absent.txt||1|unreadable: *
EOF
  run check good.txt placeholder.txt; expect 0 "check of an ok and a warning file"
  run check good.txt malformed.txt; expect 1 "check of an ok and a malformed file"
  [ "$(wc -l <"$work/out")" -eq 2 ] || fail "check: not one line per file: $out"
  ;;
compare)
  run compare good.txt good.txt; expect 0 "compare of a record with itself"
  contains "$out" "same" "compare"
  run compare --json good.txt other.txt; expect 1 "compare of two machines"
  contains "$out" '{"schema":1,"rules":1,"verdict":"different","components":{"Cpuid":' "compare --json"
  for bad in malformed.txt ambiguous.txt absent.txt; do
    run compare good.txt "$bad"; expect 2 "compare with $bad"
    contains "$err" "$bad" "compare with $bad names it on stderr"
    [ -z "$out" ] || fail "compare with $bad printed a verdict: $out"
  done
  ;;
stdin)
  run show --json - <good.txt; expect 0 "show --json -"
  contains "$out" '{"schema":1,"file":"-","status":"ok"' "show --json -"
  run compare - good.txt <good.txt; expect 0 "compare - good.txt"
  # CR LF and 0x1A arrive unchanged (no text-mode stream in between).
  record $'a\r\nb\x1Ac' PF2ABCDE L1HF65E00X9 00:1B:21:3A:4F:10 >text-mode.txt
  run show --json - <text-mode.txt; expect 0 "show --json - of a text-mode record"
  contains "$out" '"text_mode":true' "show --json - of a text-mode record"
  contains "$out" '"raw":"a\nb\u001ac"' "show --json - of a text-mode record"
  ;;
size)
  head -c 65536 /dev/zero | tr '\0' x >limit.txt
  head -c 65537 /dev/zero | tr '\0' x >over.txt
  run check limit.txt over.txt; expect 1 "check at and over the limit"
  [[ $out == "limit.txt: malformed: "*$'\n'"over.txt: unreadable: larger than 65536 bytes" ]] ||
    fail "check at and over the limit printed '$out'"
  # An endless input ends after the limit instead of being read whole.
  yes | run check -
  expect 1 "check of an endless standard input"
  [ "$out" = "-: unreadable: larger than 65536 bytes" ] || fail "endless input: '$out'"
  ;;
control)
  record $'\e[31mred\a\x9b\xff\\' PF2ABCDE L1HF65E00X9 00:1B:21:3A:4F:10 >control.txt
  printed=
  for args in "show control.txt" "check control.txt" "compare control.txt good.txt" \
              $'check gone\e]0;title\a.txt'; do
    # shellcheck disable=SC2086
    run $args
    # Standard error may carry Windows' CR LF; standard output is binary.
    stray=$(LC_ALL=C tr -d '\n\040-\176' <"$work/out"; LC_ALL=C tr -d '\r\n\040-\176' <"$work/err")
    [ -z "$stray" ] || fail "$args wrote raw bytes: $(printf %s "$stray" | od -An -tx1)"
    printed+=$out$err
  done
  contains "$printed" '\x1b[31mred\x07\x9b\xff\\' "the value escaped"
  contains "$printed" 'gone\x1b]0;title\x07.txt' "the file name escaped"
  ;;
help)
  while read -r needle args; do
    # shellcheck disable=SC2086
    run $args; expect 0 "$args"
    contains "$out" "$needle" "$args"
  done <<'EOF'
compare --help
compare -h
--json show --help
--strict check --help
--json compare --help
EOF
  for args in "--version" "show --version" "check --version" "compare --version"; do
    # shellcheck disable=SC2086
    run $args; expect 0 "$args"
    [ "$out" = "zavro-record $version" ] || fail "$args printed '$out'"
  done
  ;;
usage)
  while read -r args; do
    # shellcheck disable=SC2086
    run $args </dev/null; expect 2 "zavro-record $args"
    [ -n "$err" ] || fail "zavro-record $args: no message on stderr"
    [ -z "$out" ] || fail "zavro-record $args: printed '$out'"
  done <<'EOF'

bogus good.txt
--bogus show good.txt
show
show --bogus good.txt
show --strict good.txt
check
check --json good.txt
compare good.txt
compare good.txt good.txt good.txt
EOF
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASS: $case_name"
