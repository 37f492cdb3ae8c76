#!/usr/bin/env bash
# zavro-record add and find over mail as processes: an .eml, an mbox and a
# Maildir made here from the suite's own reports; what each prints, its exit
# status, and that a message without a report is kept and listed.
# Usage: mail_cli_test.sh <zavro-record>. Exit 0 pass, 1 fail.
set -u
exe=$(readlink -f "$1")
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d /tmp/zavro-mail.XXXXXX)
trap 'rm -rf "$work"' EXIT
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
# Kept: listed with the rejected reports, and the same message again is known.
run 0 rejected --db "$db"
grep -q "box.mbox:2 *unreadable: no report in this message" out || fail "rejected does not list it: $(cat out)"
run 1 add --db "$db" --json box.mbox
grep -q '"file":"box.mbox:2","status":"no-report","record":4,.*"mail":{"from":"carol@example.com","message_id":"3@example.com","date":"2024-01-01T10:00:03Z","subject":"\\u001b\[31mnothing"}' out ||
  fail "add --json: $(cat out)"
# find stores nothing and says the same of the message without a report.
run 1 find --db "$db" box.mbox
expect out "box.mbox:1:r1.txt: known, record 2, machine 2 *" "box.mbox:1:r2.txt: known, record 3, machine 3 *" \
  'box.mbox:2: no report in this message (from carol@example.com, subject "\\x1b\[31mnothing")' \
  'box.mbox:3: no report in this message (from dave@example.com, subject "big")'
run 0 find --db "$db" one.eml
echo "PASS"
