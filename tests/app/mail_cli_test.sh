#!/usr/bin/env bash
# zavro-record over mail as processes. files: add and find over an .eml, an
# mbox and a Maildir made here from the suite's own reports; what each
# prints, its exit status, and that a message without a report is kept and
# listed. collect*: collect from the suite's throwaway Dovecot (its directory
# given): what is stored and moved, what a second run reads, the mail shown
# and searched, a renumbered folder, a killed run, a dropped connection; on
# PostgreSQL too (collect-pg, its socket directory given).
# Usage: mail_cli_test.sh <zavro-record> [files | collect | collect-faults | collect-pg <imap dir> [<pg dir>]].
# Exit 0 pass, 1 fail.
set -u
exe=$(readlink -f "$1")
case_name=${2:-files}
imap=${3:-}
pg=${4:-}
fail() { echo "FAIL: $case_name: $*"; exit 1; }
work=$(mktemp -d /tmp/zavro-mail.XXXXXX)
helpers=()
cleanup() {
  local p
  for p in "${helpers[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || fail "no work directory"

python3 - <<'EOF' || fail "cannot write the messages"
import email.message, mailbox, os

def report(name):
    return ("<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>%s</MachineName>"
            "<ProcessorCount>2</ProcessorCount><MacAddresses><M0>00:1B:21:3A:4F:%02X</M0>"
            "</MacAddresses><BiosSerial>BS-%s</BiosSerial><MotherboardSerial>MB-%s"
            "</MotherboardSerial></Node>" % (name, len(name), name, name)).encode()

def message(sender, subject, reports, number):
    m = email.message.EmailMessage()
    m["From"], m["To"], m["Subject"] = sender, "desk@vendor.example", subject
    m["Message-ID"] = "<%d@example.com>" % number
    m["Date"] = "Mon, 01 Jan 2024 10:00:%02d +0000" % number
    m.set_content("Here it is.\n\nFrom the desk of %s\n" % sender)
    for name, data in reports:
        m.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    return m

one = message("Alice <alice@example.com>", "report", [("ZAVRO_system_info.txt", report("a"))], 1)
open("one.eml", "wb").write(bytes(one))
box = mailbox.mbox("box.mbox")
box.add(message("bob@example.com", "two", [("r1.txt", report("b")), ("r2.txt", report("c"))], 2))
box.add(message("carol@example.com", "\x1b[31mnothing", [], 3))
box.add(message("dave@example.com", "big", [("big.bin", os.urandom(300000))], 4))
box.flush()
md = mailbox.Maildir("md")
md.add(message("erin@example.com", "again", [("ZAVRO_system_info.txt", report("a"))], 5))
EOF

run() { # <expected exit> <args...>: stdout in ./out
  local want=$1 status
  shift
  timeout 120 "$exe" "$@" >out 2>err </dev/null
  status=$?
  [ "$status" -eq "$want" ] || fail "$*: exit $status, expected $want: $(cat out err)"
}
expect() { # <file> <line glob>...: the file's lines, in order
  local file=$1 i=0 line
  shift
  mapfile -t lines <"$file"
  [ ${#lines[@]} -eq $# ] || fail "$# lines expected in $file, got: $(cat "$file")"
  for line in "$@"; do
    # shellcheck disable=SC2053 # globs on purpose
    [[ ${lines[i]} == $line ]] || fail "line $((i + 1)) of $file: '${lines[i]}', expected '$line'"
    i=$((i + 1))
  done
}

case $case_name in
files)
  db=$work/r.sqlite
  run 1 add --db "$db" --max-message 200000 one.eml box.mbox md
  expect out \
    "one.eml:ZAVRO_system_info.txt: stored, record 1, machine 1 a (new)" \
    "box.mbox:1:r1.txt: stored, record 2, machine 2 * (new)" \
    "box.mbox:1:r2.txt: stored, record 3, machine 3 * (new)" \
    'box.mbox:2: no report in this message, record 4 (from carol@example.com, subject "\\x1b\[31mnothing")' \
    "box.mbox:3: rejected: unreadable: message larger than 200000 bytes" \
    "md:*:ZAVRO_system_info.txt: duplicate, record 1, machine 1 a" \
    "3 stored, 1 duplicate, 1 rejected, 1 without a report"
  # Kept apart: rejected lists the reports, rejected --messages the message
  # with its mail; the same message again is known.
  run 0 rejected --db "$db"
  expect out "RECORD *REASON" "5 *box.mbox:3 *unreadable: message larger than 200000 bytes"
  run 0 rejected --messages --db "$db"
  expect out "RECORD *MAIL" \
    '4 *box.mbox:2 *carol@example.com, 2024-01-01T10:00:03Z, <3@example.com>, "\\x1b\[31mnothing"'
  run 1 add --db "$db" --json box.mbox
  grep -q '"file":"box.mbox:1:r1.txt","status":"duplicate",.*"mail":{"sender":"bob@example.com","message_id":"2@example.com","date":"2024-01-01T10:00:02Z","subject":"two"},"evidence"' out ||
    fail "add --json, a report: $(cat out)"
  grep -q '"file":"box.mbox:2","status":"no-report","record":4,.*"mail":{"sender":"carol@example.com","message_id":"3@example.com","date":"2024-01-01T10:00:03Z","subject":"\\u001b\[31mnothing"}' out ||
    fail "add --json: $(cat out)"
  # Found by who sent them, whatever the case; rebuild and copy keep the mail.
  run 0 machines --db "$db" --q BOB@example
  expect out "MACHINE *" "2 *" "3 *"
  run 0 rejected --messages --json --db "$db"
  mv out messages
  run 0 rebuild --db "$db"
  run 0 copy --from "$db" --to "$work/copy.sqlite"
  for copy in "$db" "$work/copy.sqlite"; do
    run 0 machines --db "$copy" --q BOB@example
    expect out "MACHINE *" "2 *" "3 *"
    run 0 rejected --messages --json --db "$copy"
    cmp -s out messages || fail "$copy: rejected --messages: $(cat out)"
  done
  # find stores nothing and says the same of the message without a report.
  run 1 find --db "$db" box.mbox
  expect out "box.mbox:1:r1.txt: known, record 2, machine 2 *" "box.mbox:1:r2.txt: known, record 3, machine 3 *" \
    'box.mbox:2: no report in this message (from carol@example.com, subject "\\x1b\[31mnothing")' \
    'box.mbox:3: no report in this message (from dave@example.com, subject "big")'
  run 0 find --db "$db" one.eml
  echo "PASS"
  exit 0
  ;;
collect | collect-faults | collect-pg) ;;
*) fail "unknown case" ;;
esac

# --- collect, against the suite's Dovecot
[ -f "$imap/port" ] || fail "no IMAP server at '$imap' (scripts/imap-throwaway start)"
port=$(cat "$imap/port")
url=imaps://desk@localhost:$port/INBOX
secret=throwaway-secret
printf '%s\n' "$secret" >password
login=(--password-file "$work/password" --cacert "$imap/cert.pem")
dove() { doveadm -c "$imap/dovecot.conf" "$@" </dev/null; }
held() { # <folder>: how many messages it holds
  local n
  n=$(dove mailbox status -u desk messages "$1" 2>/dev/null | sed -n 's/.*messages=//p')
  echo "${n:-0}"
}
folders() { echo "$(held INBOX) $(held Done) $(held Refused)"; }
for folder in INBOX Done Refused; do dove expunge -u desk mailbox "$folder" all 2>/dev/null; done
[ "$(folders)" = "0 0 0" ] || fail "cannot empty the folders: $(folders)"

# Messages from descriptions KIND:NAME[:SENDER], delivered in order: report (the
# report NAME attached), none (no report), big (a report and 150 KB more).
cat >make.py <<'PY'
import email.message, os, sys, zlib

def report(name):
    mac = zlib.crc32(name.encode()) & 0xFFFFFF
    return ("<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>%s</MachineName>"
            "<ProcessorCount>2</ProcessorCount><MacAddresses><M0>00:1B:21:%02X:%02X:%02X</M0>"
            "</MacAddresses><BiosSerial>BS-%s</BiosSerial><MotherboardSerial>MB-%s"
            "</MotherboardSerial></Node>" % (name, mac >> 16, (mac >> 8) & 255, mac & 255,
                                             name, name)).encode()

os.makedirs(sys.argv[1], exist_ok=True)
for number, described in enumerate(sys.argv[2:], 1):
    kind, name, sender = (described.split(":") + [""])[:3]
    sender = sender or name
    m = email.message.EmailMessage()
    m["From"], m["To"], m["Subject"] = sender + "@example.com", "desk@example.com", "from " + sender
    m["Message-ID"] = "<%s.%d@example.com>" % (sender, number)
    m["Date"] = "Mon, 01 Jan 2024 10:%02d:%02d +0000" % (number // 60 % 60, number % 60)
    m.set_content("Here it is.\n" + "padding line\n" * 300)
    if kind in ("report", "big"):
        m.add_attachment(report(name), maintype="text", subtype="plain",
                         filename="ZAVRO_system_info.txt")
    if kind == "big":
        m.add_attachment(b"x" * 150000, maintype="application", subtype="octet-stream",
                         filename="padding.bin")
    open(os.path.join(sys.argv[1], "%05d.eml" % number), "wb").write(bytes(m))
PY
deliver() { # <descriptions...>
  rm -rf outbox
  python3 make.py outbox "$@" || fail "cannot write the messages"
  local file
  for file in outbox/*.eml; do
    doveadm -c "$imap/dovecot.conf" save -u desk -m INBOX <"$file" || fail "cannot deliver $file"
  done
}
drop() { # <descriptions...>: straight into the INBOX's Maildir (faster; UIDs in no set order)
  rm -rf outbox
  python3 make.py outbox "$@" || fail "cannot write the messages"
  python3 - "$imap/home/desk/Maildir" <<'PY' || fail "cannot drop the messages"
import os, pwd, shutil, sys
nobody = pwd.getpwnam("nobody")
for name in sorted(os.listdir("outbox")):
    tmp = os.path.join(sys.argv[1], "tmp", "zavro-test." + name)
    shutil.copyfile(os.path.join("outbox", name), tmp)
    os.chown(tmp, nobody.pw_uid, nobody.pw_gid)
    os.rename(tmp, os.path.join(sys.argv[1], "new", os.path.basename(tmp)))
PY
  dove force-resync -u desk INBOX || fail "Dovecot does not see the messages"
}
q() { # <db> <sql>
  if [[ $1 == postgresql://* ]]; then
    psql -X -q -At -v ON_ERROR_STOP=1 -d "$1" -c "$2" </dev/null
  else
    sqlite3 -batch -readonly "$1" "$2" </dev/null
  fi
}
newdb() { # <name>: a registry not made yet, on the case's engine
  if [ "$case_name" = collect-pg ]; then
    local db=$1_$(basename "$work" | tr -cd 'a-zA-Z0-9' | tr '[:upper:]' '[:lower:]')
    q "postgresql:///postgres?host=$pg&user=zavro" "CREATE DATABASE $db" >/dev/null ||
      fail "cannot create database $db"
    echo "postgresql:///$db?host=$pg&user=zavro"
  else
    echo "$work/$1.sqlite"
  fi
}
collect() { run "$1" collect --db "$db" "$url" "${login[@]}" "${@:2}"; }

case $case_name in
collect | collect-pg)
  [ "$case_name" = collect ] || [ -S "$pg/.s.PGSQL.5432" ] || fail "no PostgreSQL server at '$pg'"
  db=$(newdb collect)
  # Stored or known to Done, no report or rejected to Refused; the outcomes
  # as add prints them.
  deliver report:a:alice none::bob big:b:carol report:a:dave
  collect 1 --done Done --refused Refused --max-message 100000
  expect out \
    "$url:*:ZAVRO_system_info.txt: stored, record 1, machine 1 a (new)" \
    "$url:*: no report in this message, record 2 (from bob@example.com, subject \"from bob\")" \
    "$url:*: rejected: unreadable: message larger than 100000 bytes" \
    "$url:*:ZAVRO_system_info.txt: duplicate, record 1, machine 1 a" \
    "4 messages: 1 stored, 1 duplicate, 1 rejected, 1 without a report"
  [ "$(folders)" = "0 2 2" ] || fail "INBOX, Done, Refused: $(folders)"
  # The mail shown, and searched.
  run 0 history --json --db "$db" 1
  expect out '{"schema":1,"machine":1,"record":1,*,"mail":{"sender":"alice@example.com","message_id":"alice.1@example.com","date":"2024-01-01T10:00:01Z","subject":"from alice"}}'
  run 0 rejected --messages --json --db "$db"
  expect out '{"schema":1,"record":2,*,"status":"no-report","mail":{"sender":"bob@example.com",*'
  run 0 machines --db "$db" --q ALICE@example.com
  expect out "MACHINE *" "1 *"
  # A second run reads only what came since.
  deliver report:c:erin
  collect 0 --done Done --refused Refused
  expect out "$url:*: stored, record 4, machine 4 c (new)" "1 messages: 1 stored, 0 duplicate, 0 rejected"
  # Left where they are without folders to move to; a renumbered folder is
  # read again from the start, what it holds known by its digest.
  deliver report:d:frank none::gina
  collect 1
  expect out "*: stored, record 5, *" "*: no report in this message, record 6 *" "2 messages: *"
  collect 0
  expect out "0 messages: 0 stored, 0 duplicate, 0 rejected"
  validity=$(dove mailbox status -u desk uidvalidity INBOX | sed -n 's/.*uidvalidity=//p')
  dove mailbox update -u desk --uid-validity "$((validity + 1))" INBOX || fail "cannot renumber INBOX"
  collect 1
  expect out "*: duplicate, record 5, *" "*: no report in this message, record 6 *" \
    "2 messages (the folder was renumbered: read again): 0 stored, 1 duplicate, 0 rejected, 1 without a report"
  [ "$(q "$db" 'SELECT count(*) FROM report')" = 6 ] || fail "reports stored twice"
  # --watch: mail that comes while it waits is stored; SIGTERM ends it cleanly.
  "$exe" collect --db "$db" "$url" "${login[@]}" --done Done --watch 30 </dev/null >out 2>err &
  pid=$!
  helpers+=("$pid")
  sleep 1
  deliver report:e:hank
  for _ in $(seq 150); do grep -q "machine 7 e" out && break; sleep 0.1; done
  kill -TERM "$pid"
  wait "$pid"
  status=$?
  [ "$status" -eq 0 ] || fail "--watch ended by SIGTERM: exit $status $(cat err)"
  expect out "$url:*: stored, record 7, machine 7 e (new)" "1 messages: 1 stored, 0 duplicate, 0 rejected"
  # More new mail than one answer of UIDs holds (libcurl cut long answers
  # short): every message is read.
  mapfile -t bulk < <(for ((i = 1; i <= 4000; i++)); do echo "report:bulk$i:b$i"; done)
  drop "${bulk[@]}"
  collect 0
  [ "$(tail -n 1 out)" = "4000 messages: 4000 stored, 0 duplicate, 0 rejected" ] ||
    fail "a folder of 4000 new messages: $(tail -n 1 out)"
  ;;
collect-faults)
  described() { # <from> <to>: every 10th message without a report, every 25th too large
    local i
    for ((i = $1; i <= $2; i++)); do
      if ((i % 10 == 3)); then echo "none::u$i"; elif ((i % 25 == 7)); then echo "big:p$i:u$i"; else echo "report:p$i:u$i"; fi
    done
  }
  # A server that drops the connection mid-fetch: exit 2 naming the server,
  # never the password; the next run finishes the work. The first connection
  # through this proxy is cut after 60 KB from the server, later ones pass.
  cat >proxy.py <<'PY'
import socket, sys, threading
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
print(listener.getsockname()[1], flush=True)
def pipe(source, sink, cut):
    sent = 0
    try:
        while True:
            data = source.recv(65536)
            if not data or (cut is not None and sent + len(data) > cut):
                break
            sink.sendall(data)
            sent += len(data)
    except OSError:
        pass
    for s in (source, sink):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
first = True
while True:
    client, _ = listener.accept()
    server = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    threading.Thread(target=pipe, args=(server, client, 60000 if first else None), daemon=True).start()
    threading.Thread(target=pipe, args=(client, server, None), daemon=True).start()
    first = False
PY
  python3 proxy.py "$port" >proxy.port 2>proxy.err &
  helpers+=($!)
  for _ in $(seq 50); do [ -s proxy.port ] && break; sleep 0.1; done
  proxied=imaps://desk@localhost:$(cat proxy.port)/INBOX
  db=$(newdb dropped)
  deliver $(described 1 30)
  run 2 collect --db "$db" "$proxied" "${login[@]}" --done Done --refused Refused
  [[ $(cat err) == "zavro-record: $proxied: "* ]] || fail "dropped: message '$(cat err)'"
  grep -q "$secret" out err && fail "the password was printed"
  run 1 collect --db "$db" "$proxied" "${login[@]}" --done Done --refused Refused --max-message 100000
  [ "$(tail -1 out)" = "30 messages: 26 stored, 0 duplicate, 1 rejected, 3 without a report" ] ||
    fail "after the drop: $(tail -1 out)"
  [ "$(folders)" = "0 26 4" ] || fail "after the drop, INBOX, Done, Refused: $(folders)"

  # Killed again and again until one run finishes: the first run once it
  # prints (its first batch committed: between batches, or while moving),
  # the rest after a delay growing x1.5 from 20 ms. Each message ends stored
  # once and moved once.
  for folder in Done Refused; do dove expunge -u desk mailbox "$folder" all; done
  drop $(described 1 600)
  db=$(newdb killed)
  killed=0 partial=0 delay=20
  for ((round = 0; round < 30; round++)); do
    "$exe" collect --db "$db" "$url" "${login[@]}" --done Done --refused Refused \
      --max-message 100000 </dev/null >"out.$round" 2>err &
    pid=$!
    if ((round == 0)); then
      # An outcome is printed once its batch is committed.
      while [ ! -s "out.$round" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.005; done
    else
      sleep "$((delay / 1000)).$(printf %03d $((delay % 1000)))"
      delay=$((delay * 3 / 2))
    fi
    kill -KILL "$pid" 2>/dev/null
    { wait "$pid"; } 2>/dev/null
    status=$?
    [ "$status" -eq 137 ] || break
    killed=$((killed + 1))
    count=$(q "$db" 'SELECT count(*) FROM report' 2>/dev/null) || continue
    [ "$count" -gt 0 ] && [ "$count" -lt 600 ] && partial=$((partial + 1))
  done
  # 0 or 1: whether its own part held a message without a report.
  [ "$status" -le 1 ] || fail "the collect never finished: exit $status $(cat err)"
  { [ "$killed" -ge 3 ] && [ "$partial" -ge 1 ]; } ||
    fail "too few kills mid-collect ($killed killed, $partial left part of the messages stored)"
  [ "$(folders)" = "0 516 84" ] || fail "after $killed kills, INBOX, Done, Refused: $(folders)"
  [ "$(q "$db" 'SELECT count(*), count(DISTINCT file) FROM report')" = "600|600" ] ||
    fail "after $killed kills: $(q "$db" 'SELECT count(*), count(DISTINCT file) FROM report') reports"
  ;;
esac
echo "PASS"
