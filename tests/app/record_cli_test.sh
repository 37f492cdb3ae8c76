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

# run <args...>: sets $status, $out and $err (line breaks as "//"); stdin is the caller's.
run() {
  timeout 120 "${runner[@]}" "$exe" "$@" >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -ne 124 ] || fail "zavro-record $* hung"
  out=$(cat "$work/out") && out=${out//$'\n'/\/\/}
  err=$(cat "$work/err")
}

# Rows on stdin: arguments | standard input file | exit status | stdout glob | stderr glob.
# An empty stdout glob means no output; VERSION stands for the project version.
# shellcheck disable=SC2120 # "set --" inside, not arguments
table() {
  while IFS='|' read -r args input want stdout stderr; do
    eval "set -- $args"
    run "$@" <"${input:-/dev/null}"
    stdout=${stdout//VERSION/$version}
    [ "$status" -eq "$want" ] || fail "$args: exit $status, expected $want ('$out' '$err')"
    # shellcheck disable=SC2053 # globs on purpose
    [[ $out == $stdout ]] || fail "$args printed '$out', expected '$stdout'"
    # shellcheck disable=SC2053
    [[ $err == ${stderr:-*} ]] || fail "$args: stderr '$err', expected '$stderr'"
  done
}

record() { # <name> <bios serial> <board serial>
  printf '<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>%s</MachineName>' "$1"
  printf '<ProcessorCount>2</ProcessorCount><MacAddresses><M0>00:1B:21:3A:4F:%02d</M0>' "${#1}"
  printf '</MacAddresses><BiosSerial>%s</BiosSerial><MotherboardSerial>%s</MotherboardSerial></Node>' "$2" "$3"
}
record host-a PF2ABCDE L1HF65E00X9 >good.txt
record host-a PF2ABCDE 'To be filled by O.E.M.' >placeholder.txt
record other-host MXQ4410Z0K 9C2KV33 >other.txt
# A serial holding the separator of the last two values: two readings.
record host-a 'A</BiosSerial><MotherboardSerial>B' C >ambiguous.txt
printf '<Node><Cpuid>zz' >malformed.txt

case $case_name in
show)
  table <<'EOF'
show good.txt placeholder.txt ambiguous.txt||0|file*good.txt*host-a*placeholder.txt*ambiguous.txt*
show good.txt malformed.txt||1|*
show --json good.txt absent.txt||1|{"schema":1,"file":"good.txt","status":"ok","encoding":"bytes",*"MachineName":{"raw":"host-a"},*}//{"schema":1,"file":"absent.txt","status":"unreadable","error":*}
EOF
  # Output that cannot be written is a failure, never a silent exit 0.
  if [ ${#runner[@]} -eq 0 ] && [ -w /dev/full ]; then
    for args in "show --json good.txt" "compare good.txt good.txt"; do
      # shellcheck disable=SC2086
      timeout 60 "$exe" $args >/dev/full 2>"$work/err"
      status=$?
      [ "$status" -eq 2 ] && grep -q "cannot write standard output" "$work/err" ||
        fail "$args to a full device: exit $status, '$(cat "$work/err")'"
    done
  fi
  ;;
check) table <<'EOF' ;;
check good.txt||0|good.txt: ok
check --strict good.txt||0|good.txt: ok
check placeholder.txt||0|placeholder.txt: warning: MotherboardSerial: *
check --strict placeholder.txt||1|placeholder.txt: warning: *
check ambiguous.txt||1|ambiguous.txt: ambiguous: 2 splits
check malformed.txt||1|malformed.txt: malformed: * at byte *
check absent.txt||1|absent.txt: unreadable: *
check good.txt placeholder.txt||0|good.txt: ok//placeholder.txt: warning: *
check good.txt malformed.txt||1|good.txt: ok//malformed.txt: malformed: *
EOF
compare) table <<'EOF' ;;
compare good.txt good.txt||0|*verdict*same*
compare --json good.txt other.txt||1|{"schema":1,"rules":2,"verdict":"different","components":{"Cpuid":*}
compare good.txt malformed.txt||2||*malformed.txt: malformed*
compare ambiguous.txt good.txt||2||*ambiguous.txt: ambiguous*
compare good.txt absent.txt||2||*absent.txt: unreadable*
EOF
stdin)
  # CR LF and 0x1A arrive unchanged (no text-mode stream in between).
  record $'a\r\nb\x1Ac' PF2ABCDE L1HF65E00X9 >text-mode.txt
  table <<'EOF'
show --json -|good.txt|0|{"schema":1,"file":"-","status":"ok",*
compare - good.txt|good.txt|0|*same*
show --json -|text-mode.txt|0|*"text_mode":true,*"raw":"a\\nb\\u001ac"*
EOF
  ;;
size)
  head -c 65536 /dev/zero | tr '\0' x >limit.txt
  head -c 65537 /dev/zero | tr '\0' x >over.txt
  table <<'EOF'
check limit.txt over.txt||1|limit.txt: malformed: *//over.txt: unreadable: larger than 65536 bytes
EOF
  # An endless input ends after the limit instead of being read whole.
  yes | run check -
  [ "$status" -eq 1 ] && [ "$out" = "-: unreadable: larger than 65536 bytes" ] ||
    fail "endless input: exit $status, '$out'"
  ;;
control)
  record $'\e[31mred\a\x9b\xff\\' PF2ABCDE L1HF65E00X9 >control.txt
  for args in "show control.txt" "check control.txt" "compare control.txt good.txt" \
              $'check gone\e]0;title\a.txt' $'show good.txt -\e[31mx' $'sh\e[31mow'; do
    # shellcheck disable=SC2086
    run $args
    # Standard error may carry Windows' CR LF; standard output is binary.
    stray=$(LC_ALL=C tr -d '\n\040-\176' <"$work/out"; LC_ALL=C tr -d '\r\n\040-\176' <"$work/err")
    [ -z "$stray" ] || fail "$args wrote raw bytes: $(printf %s "$stray" | od -An -tx1)"
    printed+=$out$err
  done
  [[ $printed == *'\x1b[31mred\x07\x9b\xff\\'*'gone\x1b]0;title\x07.txt'* ]] ||
    fail "value or file name not escaped: $printed"
  ;;
names)
  # Beyond any one ANSI code page, and past UTF-16's first plane; JSON escapes
  # the name's code points.
  cp good.txt '日本-ŝ-😀.txt'
  table <<'EOF'
check 日本-ŝ-😀.txt||0|\\xe6\\x97\\xa5\\xe6\\x9c\\xac-\\xc5\\x9d-\\xf0\\x9f\\x98\\x80.txt: ok
show --json 日本-ŝ-😀.txt||0|{"schema":1,"file":"\\u65e5\\u672c-\\u015d-\\ud83d\\ude00.txt","status":"ok",*
check "$work/good.txt"||0|/*/good.txt: ok
compare "$work/good.txt" /json||2||*/json: unreadable*
EOF
  ;;
help) table <<'EOF' ;;
--help||0|*Usage:*show*check*compare*
compare -h||0|*Usage:*
show --help||0|*--json*
check --help||0|*--strict*
compare --help||0|*--json*
--version||0|zavro-record VERSION
show --version||0|zavro-record VERSION
check --version||0|zavro-record VERSION
compare --version||0|zavro-record VERSION
EOF
usage) table <<'EOF' ;;
||2||*Usage:*show*check*compare*
--json show good.txt||0|{"schema":1,"file":"good.txt","status":"ok",*
--strict check placeholder.txt||1|placeholder.txt: warning: *
--json check good.txt||2||*--json*
shwo good.txt||2||zavro-record: unknown command 'shwo'; did you mean 'show'?*
good.txt||2||zavro-record: unknown command 'good.txt'; see 'zavro-record --help'*
bogus good.txt||2||?*
--bogus show good.txt||2||?*
show||2||?*
show --bogus good.txt||2||?*
show --strict good.txt||2||?*
check||2||?*
check --json good.txt||2||?*
compare good.txt||2||?*
compare good.txt good.txt good.txt||2||?*
compare - -|good.txt|2||*standard input*
EOF
*) fail "unknown case" ;;
esac
echo "PASS: $case_name"
