#!/usr/bin/env bash
# Runs zavro-record's registry commands as processes, faults included: what
# they print, where the registry lives, and that no fault loses, duplicates or
# splits a report.
# Usage: registry_cli_test.sh <zavro-record> <case> [<PostgreSQL socket directory> <fleet-gen>].
# A case named pg-* runs on a PostgreSQL server (scripts/pg-throwaway), each
# registry a fresh database on it. Exit 0 pass, 1 fail, 77 skipped.
set -u
exe=$(readlink -f "$1")
throwaway=$(dirname "$(readlink -f "$0")")/../../scripts/pg-throwaway
case_name=$2
pg=${3:-}
fleet_gen=${4:+$(readlink -f "$4")}
fail() { echo "FAIL: $case_name: $*"; exit 1; }
skip() { echo "SKIP: $case_name: $*"; exit 77; }
command -v sqlite3 >/dev/null || skip "the sqlite3 command is missing"
engine=sqlite
if [[ $case_name == pg-* ]]; then
  engine=pg
  # Not a skip: a machine without the server must not pass these silently.
  [ -S "$pg/.s.PGSQL.5432" ] || fail "no PostgreSQL server at $pg (scripts/pg-throwaway start)"
  command -v psql >/dev/null || fail "psql is missing"
fi

work=$(mktemp -d /tmp/zavro-registry.XXXXXX)
mounts=()
holders=()
cleanup() {
  local m p
  for p in "${holders[@]}"; do kill "$p" 2>/dev/null; done
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  chmod -R u+w "$work"
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || fail "no work directory"

joined() { LC_ALL=C awk 'NR > 1 { printf "//" } { printf "%s", $0 }' "$1"; }

# run <args...>: sets $status, $out and $err (line breaks as "//"); stdin is the caller's.
run() {
  timeout 120 "$exe" "$@" >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -ne 124 ] || fail "zavro-record $* hung"
  out=$(joined "$work/out")
  err=$(joined "$work/err")
}

# Rows on stdin: arguments | standard input file | exit status | stdout glob | stderr glob.
# shellcheck disable=SC2120 # "set --" inside, not arguments
table() {
  while IFS='|' read -r args input want stdout stderr; do
    eval "set -- $args"
    run "$@" <"${input:-/dev/null}"
    [ "$status" -eq "$want" ] || fail "$args: exit $status, expected $want ('$out' '$err')"
    # shellcheck disable=SC2053 # globs on purpose
    [[ $out == $stdout ]] || fail "$args printed '$out', expected '$stdout'"
    # shellcheck disable=SC2053
    [[ $err == ${stderr:-} ]] || fail "$args: stderr '$err', expected '$stderr'"
  done
}

is_pg() { [[ $1 == postgresql://* ]]; }
server() { echo "postgresql:///${2:-postgres}?host=$1&user=zavro"; }
# <db> <sql>: read only, so that no check checkpoints or mends what a fault left.
q() {
  if is_pg "$1"; then
    psql -X -q -At -v ON_ERROR_STOP=1 -d "$1" -c "$2" </dev/null
  else
    sqlite3 -batch -readonly "$1" "$2" </dev/null
  fi
}

# newdb <name>: a registry not made yet, on this case's engine; on a server
# the tests share, a database named after this run.
run_id=$(printf %s "${work##*.}" | tr '[:upper:]' '[:lower:]' | tr -cd 'a-z0-9')
newdb() {
  if [ "$engine" = pg ]; then
    if ! q "$(server "$pg")" "CREATE DATABASE $1_$run_id" >/dev/null; then
      echo "FAIL: $case_name: cannot create database $1_$run_id" >&2
      kill $$ # from inside $(...): fail would end only the subshell
    fi
    server "$pg" "$1_$run_id"
  else
    echo "$work/$1.sqlite"
  fi
}

intact() { # <db>
  local check
  is_pg "$1" && return 0 # a server's transactions leave nothing half written
  check=$(q "$1" 'PRAGMA integrity_check') || fail "integrity_check could not run on $1"
  [ "$check" = ok ] || fail "$1 is damaged: $check"
}

# The first stored report that no audit row names; nothing when each is named.
unaudited() { # <db>
  q "$1" 'SELECT id FROM report ORDER BY id' >"$work/ids.stored"
  timeout 60 "$exe" audit --json --db "$1" </dev/null | python3 -c '
import json, sys
named = set()
for line in sys.stdin:
    for a, b in json.loads(line).get("record_ranges", []):
        named.update(range(a, b + 1))
for line in open(sys.argv[1]):
    if int(line) not in named:
        print(int(line))
        break' "$work/ids.stored"
}

stored_digests() {
  if is_pg "$1"; then
    q "$1" "SELECT encode(digest, 'hex') FROM report" | sort
  else
    q "$1" 'SELECT lower(hex(digest)) FROM report' | sort
  fi
}
files_in_order() {
  if is_pg "$1"; then
    q "$1" "SELECT convert_from(file, 'UTF8') FROM report ORDER BY id"
  else
    q "$1" 'SELECT file FROM report ORDER BY id'
  fi
}
file_digests() { find "$@" -type f -exec sha256sum {} + | cut -d' ' -f1 | sort; }
printed_digests() { sed -n 's/.*"digest":"\([0-9a-f]\{64\}\)"}$/\1/p' "$@" | sort -u; }
# The machines listing less the receipt times, which differ from run to run.
machines_of() { timeout 120 "$exe" machines --json --db "$1" </dev/null | sed 's/"received":"[^"]*"//g'; }

record() { # <name> <last address byte> <bios serial> <board serial> [processor count]
  printf '<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>%s</MachineName>' "$1"
  printf '<ProcessorCount>%s</ProcessorCount><MacAddresses><M0>00:1B:21:3A:4F:%s</M0>' "${5:-2}" "$2"
  printf '</MacAddresses><BiosSerial>%s</BiosSerial><MotherboardSerial>%s</MotherboardSerial></Node>' "$3" "$4"
}

# fleet <dir> <count> [machines]: report i comes from machine i % machines, each
# later one with another processor count, so a machine's reports are distinct
# and must be tied together.
fleet() {
  local i m n=${3:-700}
  mkdir -p "$1"
  for ((i = 0; i < $2; i++)); do
    m=$((i % n))
    printf '<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>host-%d</MachineName><ProcessorCount>%d</ProcessorCount><MacAddresses><M0>00:1B:21:00:%02X:%02X</M0></MacAddresses><BiosSerial>BS%05d</BiosSerial><MotherboardSerial>MB%05d</MotherboardSerial></Node>' \
      "$m" $((2 + i / n)) $((m >> 8)) $((m & 255)) "$m" "$m" >"$1/r$i.txt"
  done
}

archive() { # <file.tar.gz> <count>: reports as fleet makes them, their digests in ./digests
  python3 - "$1" "$2" <<'EOF' || fail "cannot write the archive"
import hashlib, io, sys, tarfile
with tarfile.open(sys.argv[1], "w:gz", compresslevel=1) as tar, open("digests", "w") as sums:
    for i in range(int(sys.argv[2])):
        m = i % 700
        data = ("<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>host-%d</MachineName>"
                "<ProcessorCount>%d</ProcessorCount><MacAddresses><M0>00:1B:21:00:%02X:%02X</M0>"
                "</MacAddresses><BiosSerial>BS%05d</BiosSerial><MotherboardSerial>MB%05d"
                "</MotherboardSerial></Node>" % (m, 2 + i // 700, m >> 8, m & 255, m, m)).encode()
        member = tarfile.TarInfo("in/r%d.txt" % i)
        member.size = len(data)
        tar.addfile(member, io.BytesIO(data))
        sums.write(hashlib.sha256(data).hexdigest() + "\n")
EOF
}

case $case_name in
commands)
  export ZAVRO_REGISTRY=$work/reg.sqlite
  record host-a 06 PF2ABCDE L1HF65E00X9 >good.txt
  record host-a 06 PF2ABCDE L1HF65E00X8 >changed.txt
  record host-a 06 PF2ABCDE L1HF65E00X9 4 >variant.txt
  record other-host 10 MXQ4410Z0K 9C2KV33 >other.txt
  record host-p 08 'To be filled by O.E.M.' 'Default string' >placeholder.txt
  record unknown 13 ZZZ123 YYY456 >unknown.txt
  # Copied virtual machines: the serials stay, each gets its own VMware address.
  record vm-1 11 CLN123 CLNMB | sed 's/00:1B:21:3A:4F/00:50:56:01:02/' >vm1.txt
  record vm-2 12 CLN123 CLNMB | sed 's/00:1B:21:3A:4F/00:50:56:01:02/' >vm2.txt
  printf '<Node><Cpuid>zz' >malformed.txt
  tar czf batch.tar.gz good.txt other.txt
  zip -q batch.zip changed.txt unknown.txt
  table <<'EOF'
add good.txt changed.txt good.txt||0|good.txt: stored, record 1, machine 1 host-a (new)//changed.txt: stored, record 2, machine 1 host-a (changed: MotherboardSerial L1HF65E00X9 -> L1HF65E00X8)//good.txt: duplicate, record 1, machine 1 host-a//2 stored, 1 duplicate, 0 rejected
add --note "T-7 two words" other.txt placeholder.txt vm1.txt vm2.txt||0|other.txt: stored, record 3, machine 3 other-host (new)//placeholder.txt: stored, record 4, machine 4 host-p (new)//vm1.txt: stored, record 5, machine 5 vm-1 (new)//vm2.txt: stored, record 6, machine 6 vm-2 (clone)//4 stored, 0 duplicate, 0 rejected
add --json malformed.txt other.txt||1|{"schema":1,"file":"malformed.txt","status":"rejected","record":7,"machine":null,"match":null,"reason":"malformed: * at byte 13","evidence":{},"digest":"*"}//{"schema":1,"file":"other.txt","status":"duplicate","record":3,"machine":3,*}
add malformed.txt||1|malformed.txt: duplicate of rejected record 7: malformed: * at byte 13//0 stored, 1 duplicate, 0 rejected
add batch.tar.gz batch.zip||0|batch.tar.gz:good.txt: duplicate, record 1, machine 1 host-a//batch.tar.gz:other.txt: duplicate, record 3, machine 3 other-host//batch.zip:changed.txt: duplicate, record 2, machine 1 host-a//batch.zip:unknown.txt: stored, record 8, machine 8 unknown (new)//1 stored, 3 duplicate, 0 rejected
add -|variant.txt|0|-: stored, record 9, machine 1 host-a (changed: ProcessorCount 2 -> 4; MotherboardSerial L1HF65E00X8 -> L1HF65E00X9)//1 stored, 0 duplicate, 0 rejected
find good.txt placeholder.txt||0|good.txt: known, record 1, machine 1 host-a//placeholder.txt: known, record 4, machine 4 host-p
history 3||0|RECORD  RECEIVED  *  MATCH  FILE       NOTE           CHANGED//3       20*Z  new    other.txt  T-7 two words  -
history --json 1||0|{"schema":1,"machine":1,"record":1,"file":"good.txt",*"note":"","match":"new","changes":\[]}//{*"record":2,*"match":"changed","changes":\[{"field":"MotherboardSerial","before":"L1HF65E00X9","after":"L1HF65E00X8"}]}//{*"record":9,"file":"-",*"changes":\[{"field":"ProcessorCount","before":"2","after":"4"},{"field":"MotherboardSerial","before":"L1HF65E00X8","after":"L1HF65E00X9"}]}
history 2||1||zavro-record: record 2 is on machine 1
machine 2||1||zavro-record: record 2 is on machine 1
machine 7||1||zavro-record: record 7 was rejected (see rejected)
history 99||1||zavro-record: no machine 99 in */reg.sqlite
machines||0|MACHINE  REPORTS  FIRST *  LAST *  FLAGS    BIOS *BOARD *ADDRESS *NAMES//1        3        20*  changed  PF2ABCDE *L1HF65E00X9 *00:1B:21:3A:4F:06 *host-a//3 *other-host//4 *To be filled by O.E.M. *Default string *host-p//5 *clone *vm-1//6 *vm-2//8 *unknown
machines --json||0|{"schema":1,"machine":1,"records":\[1,2,9],"first":{"record":1,*"last":{"record":9,*"names":\["host-a"],"clone":false,"changed":true,"identity":{"Cpuid":*"BiosSerial":{"raw":"PF2ABCDE","state":"value"},*}}//*{"schema":1,"machine":6,"records":\[6],*"names":\["vm-2"],"clone":true,"changed":false,*}//{*"machine":8,*}
placeholders||0|FIELD              SOURCE  MACHINES  VALUE//BiosSerial         listed  1         To be filled by O.E.M.//MotherboardSerial  listed  1         Default string
placeholders --json||0|{"schema":1,"field":"BiosSerial","value":"To be filled by O.E.M.","source":"listed","machines":1}//{"schema":1,"field":"MotherboardSerial","value":"Default string","source":"listed","machines":1}
clones||0|MACHINES  SHARED//5,6       BiosSerial CLN123; MotherboardSerial CLNMB
clones --json||0|{"schema":1,"machines":\[5,6],"shared":{"BiosSerial":"CLN123","MotherboardSerial":"CLNMB"}}
rejected||0|RECORD  RECEIVED *  FILE           REASON//7       20*Z  malformed.txt  malformed: * at byte 13
rejected --json||0|{"schema":1,"record":7,"file":"malformed.txt",*"note":"","reason":"malformed: *","size":15,"digest":"*"}
machines --q l1hf65E00X8||0|MACHINE *//1 * host-a
machines --q 3a4f06 --json||0|{"schema":1,"machine":1,*}
machines --q 1b-21.3A:4F --json --limit 2||0|{"schema":1,"machine":1,*}//{"schema":1,"machine":3,*}
machines --q 1b21:3a4f --json --limit 2 --after 3||0|{"schema":1,"machine":4,*}//{"schema":1,"machine":8,*}
machines --q nothing-like-it||0|MACHINE *NAMES
machines --csv --limit 1||0|MACHINE,REPORTS,FIRST,LAST,FLAGS,BIOS,BOARD,ADDRESS,NAMES?//1,3,20*Z,20*Z,changed,PF2ABCDE,L1HF65E00X9,00:1B:21:3A:4F:06,host-a?
machine 1||0|machine 1//reports  3//*//latest report (record 9)//*MachineName        host-a//*MacAddresses       M0 00:1B:21:3A:4F:06  Intel Corporate  usable//*//MachineName        1 *9 *host-a//BiosSerial         1 *9 *PF2ABCDE//MotherboardSerial  1 *9 *L1HF65E00X9//MotherboardSerial  2 *2 *L1HF65E00X8//MacAddresses       1 *9 *00:1B:21:3A:4F:06  Intel Corporate
machine --json 5||0|{"schema":1,"machine":5,"reports":1,*"twins":\[6],"identity":{*"maker":"VMware, Inc."*},"values":\[{"field":"MachineName","value":"vm-1","first":5,"last":5},*],"by_mail":\[],"labels":{}}
history --limit 1 --after 1 1||0|RECORD *CHANGED//2 *changed *MotherboardSerial L1HF65E00X9 -> L1HF65E00X8
rejected --limit 1 --after 7||0|RECORD  RECEIVED  FILE  REASON
clones --limit 1 --after 5||0|MACHINES  SHARED
placeholders --json --limit 1 --after 1||0|{"schema":1,"field":"MotherboardSerial","value":"Default string",*}
--db absent.sqlite machines||2||zavro-record: no registry at absent.sqlite
--json clones||0|{"schema":1,"machines":\[5,6],*}
histroy 1||2||zavro-record: unknown command 'histroy'; did you mean 'history'?
add||2||INPUT is required*
add --bogus good.txt||2||*--bogus*
history||2||MACHINE is required*
history one||2||*MACHINE*
machines extra||2||*extra*
find||2||FILE is required*
EOF
  # find ties without storing: the registry keeps its count.
  before=$(q reg.sqlite 'SELECT count(*) FROM report')
  record host-a 06 PF2ABCDE L1HF65E00X9 8 >variant2.txt
  record stranger 14 QQQ111 RRR222 >stranger.txt
  table <<'EOF'
find variant2.txt stranger.txt||1|variant2.txt: machine 1 host-a (changed: ProcessorCount 4 -> 8)//stranger.txt: no known machine (new)
find --json variant2.txt||0|{"schema":1,"file":"variant2.txt","status":"ok","record":null,"machine":1,"name":"host-a","match":"changed",*}
EOF
  [ "$(q reg.sqlite 'SELECT count(*) FROM report')" = "$before" ] || fail "find stored a report"
  # Every outcome names its report by the SHA-256 of its bytes.
  run add --json good.txt changed.txt other.txt unknown.txt </dev/null
  [ "$(printed_digests "$work/out" | tr '\n' ' ')" = "$(file_digests good.txt changed.txt other.txt unknown.txt | tr '\n' ' ')" ] ||
    fail "digests differ from sha256sum: $out"

  # A directory: every file under it in byte order of the full paths, which is
  # neither each level sorted on its own nor the locale's order.
  mkdir -p tree/a tree/B
  fleet tree/a 1
  cp good.txt tree/a-b.txt; cp other.txt tree/a.txt; cp unknown.txt tree/B/z.txt
  cp changed.txt tree/_u.txt; cp variant.txt tree/b.txt
  run add tree </dev/null
  [ "$status" -eq 0 ] || fail "add tree: exit $status '$err'"
  [ "$(grep ': ' out | sed 's/: .*//')" = "$(find tree -type f | LC_ALL=C sort)" ] ||
    fail "directory order: $out"

  # A file name with control bytes is escaped wherever it is shown.
  name=$'ctl\e[31m\a\x9b.txt'
  record ctl 15 CTL111 CTL222 >"$name"
  printf 'junk' >"$name.bad"
  printed=
  no_raw() {
    local stray
    stray=$(LC_ALL=C tr -d '\n\040-\176' <"$work/out"; LC_ALL=C tr -d '\n\040-\176' <"$work/err")
    [ -z "$stray" ] || fail "$1 wrote raw bytes: $(printf %s "$stray" | od -An -tx1)"
    printed+=$out//
  }
  run add "$name" "$name.bad" </dev/null && no_raw add
  machine=$(sed -n 's/^ctl.*: stored, record [0-9]*, machine \([0-9]*\) .*/\1/p' out)
  run add --json "$name" </dev/null && no_raw "add --json"
  run history "$machine" </dev/null && no_raw history
  run rejected </dev/null && no_raw rejected
  [[ $printed == 'ctl\x1b[31m\x07\x9b.txt: stored'*'{"schema":1,"file":"ctl\u001b[31m\u0007\ufffd.txt"'*'  ctl\x1b[31m\x07\x9b.txt  '*'  ctl\x1b[31m\x07\x9b.txt.bad  '* ]] ||
    fail "file name not escaped: $printed"
  ;;
decisions)
  export ZAVRO_REGISTRY=$work/reg.sqlite
  record host-a 06 PF2ABCDE L1HF65E00X9 >good.txt
  record other-host 10 MXQ4410Z0K 9C2KV33 >other.txt
  record vm-1 11 CLN123 CLNMB | sed 's/00:1B:21:3A:4F/00:50:56:01:02/' >vm1.txt
  record vm-2 12 CLN123 CLNMB | sed 's/00:1B:21:3A:4F/00:50:56:01:02/' >vm2.txt
  table <<'EOF'
add good.txt other.txt vm1.txt vm2.txt||0|*4 stored, 0 duplicate, 0 rejected
merge 3 4 --reason "one VM, copied by its owner"||0|decision 1: machines 4 joined machine 3 (now machine 3)
merge 3 4 --reason again||1||zavro-record: record 4 is on machine 3
merge 1 2||2||*--reason is required*
merge 1 2 --reason ""||1||zavro-record: the reason is empty
label 1 customer=Acme licence=L-42 --reason contract||0|decision 2: machine 1 customer=Acme licence=L-42
label 2 "asset tag=7" --reason r||1||zavro-record: label name asset tag: letters, digits, '-', '_' and '.' only
void 2 --reason "sent by mistake"||0|decision 3: record 2 of machine 2 set aside
machine 2||1||zavro-record: record 2 is void (decision 3)
machines --label licence=L-42 --json||0|{"schema":1,"machine":1,*"labels":{"customer":"Acme","licence":"L-42"}}
labels --json||0|{"schema":1,"key":"customer","value":"Acme","machines":1}//{"schema":1,"key":"licence","value":"L-42","machines":1}
decisions --json --limit 1||0|{"schema":1,"decision":1,"who":"*","when":"20*Z","action":"merge","machine":3,"others":\[4],"records":\[],"set":{},"remove":\[],"undoes":null,"reason":"one VM, copied by its owner"}
history 3||0|RECORD *//3 *new *//4 *clone *//decision 1 *merge *by * machines 4 joined machine 3 (now machine 3): one VM, copied by its owner
undo 1 --reason "two VMs after all"||0|decision 4: decision 1 undone
undo 1 --reason again||1||zavro-record: decision 1 is undone already (by decision 4)
clones||0|MACHINES  SHARED//3,4       BiosSerial CLN123; MotherboardSerial CLNMB
rebuild||0|0 reports moved
EOF
  ;;
location)
  record host-a 06 PF2ABCDE L1HF65E00X9 >good.txt
  # The first that is set wins; a relative XDG_DATA_HOME is not a base directory.
  rows=(
    "--db $work/flag/r.db|ZAVRO_REGISTRY=$work/env/r.db XDG_DATA_HOME=$work/xdg|$work/flag/r.db"
    "|ZAVRO_REGISTRY=$work/env/r.db XDG_DATA_HOME=$work/xdg|$work/env/r.db"
    "|ZAVRO_REGISTRY= XDG_DATA_HOME=$work/xdg|$work/xdg/zavro/registry.sqlite"
    "|XDG_DATA_HOME=relative|$work/home/.local/share/zavro/registry.sqlite"
  )
  for row in "${rows[@]}"; do
    IFS='|' read -r flag envs where <<<"$row"
    # Each command but add refuses a missing registry and makes nothing.
    for args in "find good.txt" machines "history 1" placeholders clones rejected rebuild; do
      # shellcheck disable=SC2086
      (umask 0; cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work/home" $envs \
        timeout 60 "$exe" $args $flag </dev/null >out 2>err)
      status=$?
      { [ "$status" -eq 2 ] && grep -qF "$where" err; } ||
        fail "$args ($envs $flag) on a missing registry: exit $status, '$(cat err)'"
      [ ! -e "$(dirname "$where")" ] || fail "$args made $(dirname "$where")"
    done
    # shellcheck disable=SC2086
    (umask 0; env -i PATH=/usr/bin:/bin HOME="$work/home" $envs \
      timeout 60 "$exe" add $flag good.txt </dev/null >out 2>err)
    status=$?
    [ "$status" -eq 0 ] || fail "add ($envs $flag): exit $status, '$(cat err)'"
    [ "$(stat -c %a "$where")" = 600 ] || fail "$where has mode $(stat -c %a "$where")"
    # Every directory it made is private, whatever the umask.
    dir=$(dirname "$where")
    while [ "$dir" != "$work" ]; do
      [ "$(stat -c %a "$dir")" = 700 ] || fail "$dir has mode $(stat -c %a "$dir")"
      dir=$(dirname "$dir")
    done
    [ "$(q "$where" 'SELECT count(*) FROM report')" = 1 ] || fail "$where does not hold the report"
    rm -rf "${work:?}"/{flag,env,xdg,home}
  done
  ;;
killed | pg-killed)
  # More reports than one batch holds, straight into an archive (and their
  # digests beside it): a kill can land before, inside and between commits.
  archive in.tar.gz 75000
  db=$(newdb k)
  # The same add killed again and again until one run finishes: after a delay
  # growing x1.5 from 30 ms, and once as soon as it prints (just after a commit).
  killed=0 partial=0 delay=30
  for ((run = 0; run < 40; run++)); do
    "$exe" add --json --db "$db" in.tar.gz </dev/null >"out.$run" 2>"err.$run" &
    pid=$!
    if [ "$run" -eq 1 ]; then
      while [ ! -s "out.$run" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.005; done
    else
      sleep "$((delay / 1000)).$(printf %03d $((delay % 1000)))"
      delay=$((delay * 3 / 2))
    fi
    kill -KILL "$pid" 2>/dev/null
    { wait "$pid"; } 2>/dev/null
    status=$?
    [ "$status" -eq 0 ] && break
    [ "$status" -eq 137 ] || fail "add exited $status: $(cat "err.$run")"
    killed=$((killed + 1))
    # Killed before its first batch: an empty file or no tables yet.
    count=$(q "$db" 'SELECT count(*) FROM report' 2>/dev/null) || continue
    intact "$db"
    unnamed=$(unaudited "$db")
    [ -z "$unnamed" ] || fail "kill $run: report $unnamed stored without its audit row"
    # An outcome printed is an outcome committed.
    missing=$(comm -23 <(printed_digests "out.$run") <(stored_digests "$db") | head -1)
    [ -z "$missing" ] || fail "printed before kill $run, yet not stored: $missing"
    [ "$count" -gt 0 ] && [ "$count" -lt 75000 ] && partial=$((partial + 1))
  done
  [ "$status" -eq 0 ] || fail "the add never finished"
  { [ "$killed" -ge 3 ] && [ "$partial" -ge 1 ]; } ||
    fail "too few kills mid-add ($killed killed, $partial left part of the reports)"
  intact "$db"
  [ "$(stored_digests "$db")" = "$(sort digests)" ] || fail "reports lost or stored twice"
  once=$(newdb once)
  run add --db "$once" in.tar.gz </dev/null
  [ "$status" -eq 0 ] || fail "uninterrupted add: exit $status '$err'"
  [ "$(machines_of "$db")" = "$(machines_of "$once")" ] ||
    fail "machines differ from those of one uninterrupted add"
  ;;
two-writers | pg-two-writers)
  # Four writers making one registry at once: each finds it made or makes it.
  record host-a 06 PF2ABCDE L1HF65E00X9 >a.txt
  record other-host 10 MXQ4410Z0K 9C2KV33 >b.txt
  for round in $(seq 10); do
    pids=()
    new=$(newdb "new$round")
    for _ in 1 2 3 4; do
      timeout 60 "$exe" add --db "$new" a.txt b.txt </dev/null >/dev/null 2>err &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do
      wait "$pid" || fail "round $round: a writer to a new registry exited $?: $(cat err)"
    done
    [ "$(q "$new" 'SELECT count(*) FROM report')" = 2 ] || fail "round $round: not 2 reports"
  done
  # Six writers at once on a registry none has made yet, each with reports
  # of the same new machines as the others at the same moment (r1* to r4*:
  # 4444 reports, 700 machines; on a server, more than a batch for each),
  # every report sent by two of them.
  fleet in "$([ "$engine" = pg ] && echo 12000 || echo 4444)" 700
  db=$(newdb w)
  pids=()
  for set in "r1 r2" "r2 r3" "r3 r4" "r4 r1" "r1 r3" "r2 r4"; do
    read -r a b <<<"$set"
    timeout 120 "$exe" add --db "$db" in/"$a"*.txt in/"$b"*.txt </dev/null >"out.$a$b" 2>"err.$a$b" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || fail "a writer exited $?: $(cat err.*)"
  done
  intact "$db"
  [ "$(stored_digests "$db")" = "$(file_digests in/r[1234]*.txt)" ] ||
    fail "reports lost or stored twice"
  # Each report tied as one add of the same reports in the order received ties it.
  files_in_order "$db" >order
  mapfile -t files <order
  serial=$(newdb serial)
  run add --db "$serial" "${files[@]}" </dev/null
  [ "$status" -eq 0 ] || fail "serial add: exit $status '$err'"
  [ "$(machines_of "$db")" = "$(machines_of "$serial")" ] ||
    fail "the writers split or merged machines: $(diff <(machines_of "$db") <(machines_of "$serial") | head -4)"
  [ "$engine" = sqlite ] || { echo "PASS: $case_name"; exit 0; }
  # Another writer that holds the registry far past the busy timeout, letting
  # go for a moment after each of its commits: add waits its turns and ends.
  run add --db "$work/busy.sqlite" a.txt </dev/null
  for i in $(seq 14); do
    printf 'BEGIN IMMEDIATE;\nCREATE TABLE IF NOT EXISTS side (x);\nINSERT INTO side VALUES (%d);\n.shell sleep 1\nCOMMIT;\n' "$i"
  done | sqlite3 -batch "$work/busy.sqlite" >/dev/null 2>&1 &
  busy=$!
  sleep 0.5
  run add --db "$work/busy.sqlite" b.txt </dev/null
  wait "$busy"
  [ "$status" -eq 0 ] || fail "add beside a long writer: exit $status '$err'"
  [ "$(q "$work/busy.sqlite" 'SELECT count(*) FROM report')" = 2 ] || fail "the report beside a long writer is missing"
  ;;
full-disk)
  [ "$(id -u)" -eq 0 ] || skip "a size-limited tmpfs needs root"
  mkdir disk
  mount -t tmpfs -o size=3m zavro-registry-full "$work/disk" 2>/dev/null || skip "mounting is not permitted here"
  mounts+=("$work/disk")
  db=$work/disk/r.sqlite
  fleet in 12000
  # Adds of 2500 reports until one fails.
  for ((first = 0; first < 12000; first += 2500)); do
    files=()
    for ((i = first; i < first + 2500 && i < 12000; i++)); do files+=("in/r$i.txt"); done
    run add --json --db "$db" "${files[@]}" </dev/null
    cat out >>printed
    [ "$status" -eq 0 ] || break
  done
  [ "$status" -eq 2 ] || fail "exit $status on a full disk, expected 2"
  [[ $err == "zavro-record: registry $db: disk full"* ]] || fail "message: '$err'"
  [ "$first" -gt 0 ] || fail "the disk filled on the first add"
  intact "$db"
  # Every outcome printed is stored, and nothing else: none of the failed batch.
  [ "$(printed_digests printed)" = "$(stored_digests "$db")" ] ||
    fail "registry and printed outcomes differ ($(grep -c . printed) printed, $(q "$db" 'SELECT count(*) FROM report') stored)"
  ;;
refused)
  fleet in 1500
  run add --db base.sqlite in </dev/null
  [ "$status" -eq 0 ] || fail "base registry: exit $status '$err'"
  head -c 65536 /dev/urandom >random.sqlite
  sqlite3 -batch other.sqlite 'CREATE TABLE t (x); INSERT INTO t VALUES (1)' </dev/null
  cp base.sqlite newer.sqlite && sqlite3 -batch newer.sqlite 'PRAGMA user_version = 99' </dev/null
  # A middle third of the pages overwritten with bytes no page starts with.
  cp base.sqlite damaged.sqlite
  third=$(($(stat -c %s damaged.sqlite) / 4096 / 3))
  head -c $((third * 4096)) /dev/zero | tr '\0' '\377' |
    dd of=damaged.sqlite bs=4096 seek="$third" conv=notrunc status=none
  cp base.sqlite locked.sqlite
  mkdir ro && cp base.sqlite ro/r.sqlite
  # Each refused with its cause named, and left byte for byte as it was.
  while IFS='|' read -r db cause; do
    before=$(sha256sum <"$db")
    prefix=()
    case $db in
    locked.sqlite)
      # Held past the busy timeout; the holder reports once it has the lock.
      { printf "BEGIN EXCLUSIVE;\nSELECT 'held';\n"; sleep 14; printf 'ROLLBACK;\n'; } |
        sqlite3 -batch "$db" >held &
      holders+=($!)
      for _ in $(seq 100); do grep -q held held 2>/dev/null && break; sleep 0.1; done
      grep -q held held || fail "the lock holder never got its lock"
      ;;
    ro/*)
      if [ "$(id -u)" -eq 0 ]; then
        # Root writes any file; nobody cannot write this one, nor beside it.
        chmod 755 "$work" "$work/ro" && chmod 644 "$db"
        install -m 755 "$exe" "$work/tool"
        chmod -R a+rX in
        prefix=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        setpriv --version >/dev/null 2>&1 || skip "setpriv is missing"
      else
        chmod 555 "$work/ro" && chmod 444 "$db"
      fi
      ;;
    esac
    if [ ${#prefix[@]} -gt 0 ]; then
      timeout 120 "${prefix[@]}" "$work/tool" add --db "$db" in </dev/null >out 2>err
      status=$? err=$(cat err)
    else
      run add --db "$db" in </dev/null
    fi
    [ "$status" -eq 2 ] || fail "add to $db: exit $status, expected 2 ('$err')"
    [[ $err == "zavro-record: registry $db: $cause"* ]] || fail "add to $db: message '$err'"
    [ "$(sha256sum <"$db")" = "$before" ] || fail "add changed $db"
  done <<'EOF'
random.sqlite|not a registry
other.sqlite|not a registry
newer.sqlite|made by a newer zavro-record
damaged.sqlite|damaged
locked.sqlite|locked by another process
ro/r.sqlite|read-only
EOF
  ;;
pg-same)
  # Both engines print the same for the same reports, and a copy carries a
  # registry whole from one to the other and back.
  "$fleet_gen" --reports 3000 --seed 11 --out fleet.tar.gz --truth truth.tsv >/dev/null ||
    fail "fleet-gen failed"
  printf '<Node><Cpuid>zz' >broken.txt
  # Receipt times differ from run to run.
  mask() { sed -E 's/20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z/T/g' "$1"; }
  listings() { # <db>: every listing, each command's exit status after it
    local m
    for args in "placeholders" "placeholders --json" "clones" "clones --json" "rejected" \
      "rejected --json" "machines" "machines --json"; do
      # shellcheck disable=SC2086
      timeout 120 "$exe" $args --db "$1" </dev/null; echo "exit $?"
    done
    for m in $(timeout 60 "$exe" machines --json --db "$1" </dev/null |
      sed -n 's/^{"schema":1,"machine":\([0-9]*\),.*/\1/p' | head -60); do
      timeout 60 "$exe" history --json --db "$1" "$m" </dev/null; echo "exit $?"
    done
  }
  sq=$work/same.sqlite
  pgdb=$(newdb same)
  for db in "$sq" "$pgdb"; do
    {
      timeout 120 "$exe" add --json --note "T-1" --db "$db" fleet.tar.gz broken.txt </dev/null
      echo "exit $?"
      timeout 120 "$exe" find --json --db "$db" fleet.tar.gz broken.txt </dev/null; echo "exit $?"
      listings "$db"
      timeout 120 "$exe" rebuild --json --db "$db" </dev/null; echo "exit $?"
      listings "$db"
    } >"$work/$(is_pg "$db" && echo pg || echo sq)" 2>&1
  done
  [ "$(grep -c . sq)" -gt 3000 ] || fail "too little output: $(head -3 sq)"
  cmp -s <(mask sq) <(mask pg) || fail "the engines differ: $(diff <(mask sq) <(mask pg) | head -4)"
  # SQLite to PostgreSQL and back: every listing the same, receipt times too.
  copied=$(newdb copied)
  count=$(q "$sq" 'SELECT count(*) FROM report')
  run copy --from "$sq" --to "$copied" </dev/null
  { [ "$status" -eq 0 ] && [ "$out" = "$count reports copied" ]; } || fail "copy: exit $status '$out' '$err'"
  run copy --from "$copied" --to "$work/back.sqlite" </dev/null
  [ "$status" -eq 0 ] || fail "copy back: exit $status '$err'"
  listings "$sq" >sq.listed
  cmp -s sq.listed <(listings "$copied") || fail "the copy on PostgreSQL differs"
  cmp -s sq.listed <(listings "$work/back.sqlite") || fail "the copy back differs"
  [ "$(stored_digests "$sq")" = "$(stored_digests "$copied")" ] || fail "the copy's bytes differ"
  # A copy never mixes into a registry that holds reports.
  run copy --from "$sq" --to "$copied" </dev/null
  { [ "$status" -eq 2 ] && [[ $err == *"holds reports already"* ]]; } || fail "copy onto reports: $status '$err'"
  [ "$(q "$copied" 'SELECT count(*) FROM report')" = "$count" ] || fail "the refused copy changed the registry"
  ;;
pg-server-gone)
  # The server stops at once in the middle of an add: exit 2 with a message,
  # nothing printed is lost, and the add run again stores exactly the rest.
  own=$(mktemp -d /tmp/zavro-pg-gone.XXXXXX)
  trap 'bash "$throwaway" stop "$own"; cleanup' EXIT
  bash "$throwaway" start "$own" >/dev/null || fail "cannot start a server"
  pg=$own
  archive in.tar.gz 75000
  db=$(newdb gone)
  : >out.1  # there before it is counted
  "$exe" add --json --db "$db" in.tar.gz </dev/null >>out.1 2>err.1 &
  pid=$!
  while [ "$(grep -c . out.1)" -lt 4000 ] && kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
  bash "$throwaway" halt "$own" || fail "cannot halt the server"
  wait "$pid"
  status=$?
  [ "$status" -eq 2 ] || fail "add when the server went away: exit $status, expected 2"
  [[ $(cat err.1) == "zavro-record: registry postgresql://"*"/gone_$run_id: "* ]] || fail "message: '$(cat err.1)'"
  bash "$throwaway" start "$own" >/dev/null || fail "cannot restart the server"
  missing=$(comm -23 <(printed_digests out.1) <(stored_digests "$db") | head -1)
  [ -z "$missing" ] || fail "printed, yet not stored: $missing"
  stored=$(q "$db" 'SELECT count(*) FROM report')
  [ "$stored" -lt 75000 ] || fail "the server went away too late"
  run add --db "$db" in.tar.gz </dev/null
  [ "$status" -eq 0 ] || fail "the add again: exit $status '$err'"
  [[ $out == *"$((75000 - stored)) stored, $stored duplicate, 0 rejected" ]] || fail "the add again: '$out'"
  [ "$(stored_digests "$db")" = "$(sort digests)" ] || fail "reports lost or stored twice"
  once=$(newdb once)
  run add --db "$once" in.tar.gz </dev/null
  [ "$(machines_of "$db")" = "$(machines_of "$once")" ] ||
    fail "machines differ from those of one uninterrupted add"
  # With the server up, every command lets its connection go cleanly: the
  # server logs none of them as lost.
  seen=$(wc -l <"$own/server.log")
  for args in "machines --limit 1" "machines --q zz" "history 1"; do
    # shellcheck disable=SC2086
    "$exe" $args --db "$db" </dev/null >/dev/null 2>&1
  done
  lost=$(tail -n +"$((seen + 1))" "$own/server.log" | grep -m 1 'client' || true)
  [ -z "$lost" ] || fail "the server saw a command's connection lost: $lost"
  ;;
pg-refused)
  fleet in 300
  newer=$(newdb newer)
  run add --db "$newer" in </dev/null
  [ "$status" -eq 0 ] || fail "base registry: exit $status '$err'"
  q "$newer" "UPDATE registry_meta SET value = 99 WHERE name = 'schema'"
  other=$(newdb other)
  q "$other" 'CREATE TABLE t (x int)'
  empty=$(newdb empty)
  readonly=$(newdb readonly)
  run add --db "$readonly" in/r1.txt </dev/null
  q "$(server "$pg")" "CREATE ROLE reader_$run_id LOGIN"
  q "$readonly" "GRANT SELECT ON ALL TABLES IN SCHEMA public TO reader_$run_id"
  shape() { # <db>: its tables, and what a registry holds
    q "$(server "$pg" "$1_$run_id")" "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'" 2>/dev/null
    q "$(server "$pg" "$1_$run_id")" "SELECT count(*) FROM report" 2>/dev/null
  }
  # Each refused with its cause, no password shown, and left as it was.
  while IFS='|' read -r command name uri cause; do
    before=$(shape "$name")
    run "$command" --db "$uri" in </dev/null
    [ "$status" -eq 2 ] || fail "$command on $uri: exit $status, expected 2 ('$err')"
    # shellcheck disable=SC2053 # a glob on purpose
    [[ $err == $cause ]] || fail "$command on $uri: message '$err'"
    [[ $err != *Sekr3t* ]] || fail "the password was printed: '$err'"
    [ "$(shape "$name")" = "$before" ] || fail "$command changed $name"
  done <<EOF
add|newer|$newer|zavro-record: registry postgresql://*/newer_$run_id: made by a newer zavro-record (schema 99*
add|other|$other|zavro-record: registry postgresql://*/other_$run_id: not a registry*
find|empty|$empty|zavro-record: no registry at postgresql://*/empty_$run_id
add|readonly|postgresql://reader_$run_id@/readonly_$run_id?host=$pg|zavro-record: registry postgresql://*/readonly_$run_id: permission denied*
add|nosuchdb|postgresql://zavro:Sekr3t-Pw@/nosuchdb_$run_id?host=$pg|zavro-record: registry postgresql://*/nosuchdb_$run_id: cannot connect*
add|x|postgresql:///x_$run_id?host=$work/nowhere|zavro-record: registry postgresql://*nowhere*/x_$run_id: cannot connect*
EOF
  [ "$(q "$newer" "SELECT value FROM registry_meta WHERE name = 'schema'")" = 99 ] || fail "newer was migrated"
  [ "$(q "$readonly" 'SELECT count(*) FROM report')" = 1 ] || fail "the read-only registry changed"
  ;;
*) fail "unknown case" ;;
esac
echo "PASS: $case_name"
