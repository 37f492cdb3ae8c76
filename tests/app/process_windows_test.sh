#!/usr/bin/env bash
# Runs the Windows tool under Wine as a process and checks what it leaves behind.
# Usage: process_windows_test.sh <zavro-sysinfo.exe> <hold_open.exe> <state dir> <case>
# The state dir holds one Wine prefix and its temporary HOME for all cases:
# case "start" makes them fresh and starts a persistent wineserver, "stop" ends it.
# Exit 0 pass, 1 fail, 77 skipped (the reason is printed).
set -u
exe=$(readlink -f "$1")
holder=$(readlink -f "$2")
state=$3
case_name=$4
. "$(dirname "$0")/process_common.sh"
runner=$(readlink -f "$(dirname "$0")/../../cmake/wine-run.sh")
source_dir=$(readlink -f "$(dirname "$0")/../..")

export ZAVRO_WINEPREFIX=$state/prefix
home=$state/home
desktop=$home/Desktop
wine_() { HOME=$home timeout 120 "$runner" "$@"; }

case $case_name in
start)
  rm -rf "$state"
  mkdir -p "$desktop"
  wine_ --server-start || fail "wineserver did not start"
  # Wine links the prefix's desktop to $HOME/Desktop when the prefix is made.
  [ "$(readlink -f "$ZAVRO_WINEPREFIX/drive_c/users/$(id -un)/Desktop")" = "$(readlink -f "$desktop")" ] ||
    fail "Wine's desktop is not $desktop"
  echo "PASS: start"; exit 0 ;;
stop)
  wine_ --server-stop
  echo "PASS: stop"; exit 0 ;;
esac

[ -d "$ZAVRO_WINEPREFIX" ] || fail "no prefix: the start case did not run"
work=$(mktemp -d "$state/case.XXXXXX")
holder_pid=
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
  chmod -R u+w "$desktop" 2>/dev/null
  rm -rf "$work" "$desktop"
  mkdir -p "$desktop"
}
trap cleanup EXIT
rm -rf "$desktop"; mkdir -p "$desktop"

winpath() { local p; p=$(readlink -f "$1"); printf 'Z:%s' "${p//\//\\}"; }

# run_tool [wine program and args...]: the tool (or the given command line) with
# stdin from /dev/null; sets $status and $console.
run_tool() {
  if [ $# -eq 0 ]; then set -- "$exe"; fi
  wine_ "$@" </dev/null >"$work/console" 2>"$work/stderr"
  status=$?
  console=$(cat "$work/console"; printf x); console=${console%x}
  [ "$status" -ne 124 ] || fail "the tool hung"
  return 0
}

expect_saved() {
  [ "$status" -eq 0 ] || fail "exit status $status, expected 0 (console '$console')"
  [ "$console" = "$saved" ] || fail "console: '$console'"
  no_temporary_files "$desktop"
}

no_temporary_files() { # <dir>: nothing but the report and what the case put there
  local left
  left=$(find "$1" -maxdepth 1 -type f -name 'ZAVRO_*' ! -name "$report_name" 2>/dev/null)
  [ -z "$left" ] || fail "temporary file left behind: $left"
}

# What Wine's own tools say, as plain text lines.
wine_text() { wine_ "$@" </dev/null 2>/dev/null | iconv -f UTF-16 -t UTF-8 2>/dev/null | tr -d '\r'; }
wine_ascii() { wine_ "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# The last instance's serial from wmic (its column padding trimmed).
wmic_serial() { # <alias>
  local out
  out=$(wine_text wmic "$1" get serialnumber) || return 1
  [ "$(printf '%s\n' "$out" | head -n1 | sed 's/ *$//')" = SerialNumber ] || return 1
  printf '%s\n' "$out" | sed -n '2,$p' | sed 's/ *$//' | sed '/^$/d' | tail -n1
}

# ipconfig's physical addresses in order; the loopback, which the adapter list
# leaves out, prints an empty one.
ipconfig_addresses() {
  local i=0 name address
  wine_ascii ipconfig /all | awk '
    /adapter / { sub(/.*adapter /, ""); name = $0 }
    /Physical address/ { sub(/.*: ?/, ""); print name "\t" $0 }' |
    while IFS=$'\t' read -r name address; do
      if [ -z "$address" ] && [ -r "/sys/class/net/$name/flags" ] &&
         (( $(cat "/sys/class/net/$name/flags") & 0x8 )); then continue; fi
      [ -n "$address" ] || address=00-00-00-00-00-00
      printf '<M%u>%s</M%u>' "$i" "${address//-/:}" "$i"
      i=$((i + 1))
    done
}

# The Linux build's Cpuid on this machine, else rebuilt from /proc/cpuinfo.
check_cpuid() { # <value>
  local linux_tool=$source_dir/build/linux/zavro-sysinfo
  if [ -x "$linux_tool" ]; then
    local lhome=$work/linux-home
    mkdir -p "$lhome/Desktop"
    env -i PATH=/usr/bin:/bin HOME="$lhome" "$linux_tool" </dev/null >/dev/null 2>&1 ||
      fail "the Linux build did not run"
    [ "$1" = "$(value_of Cpuid "$lhome/Desktop/$report_name")" ] ||
      fail "Cpuid $1, the Linux build says $(value_of Cpuid "$lhome/Desktop/$report_name")"
    return
  fi
  local family model stepping base ext_family ext_model eax revision tail
  family=$(awk -F': ' '/^cpu family/{print $2; exit}' /proc/cpuinfo)
  model=$(awk -F': ' '/^model\t/{print $2; exit}' /proc/cpuinfo)
  stepping=$(awk -F': ' '/^stepping/{print $2; exit}' /proc/cpuinfo)
  [ -n "$family" ] && [ -n "$model" ] && [ -n "$stepping" ] || skip "no x86 signature to compare"
  base=$family ext_family=0
  if [ "$family" -ge 15 ]; then base=15 ext_family=$((family - 15)); fi
  ext_model=0
  if [ "$base" -eq 6 ] || [ "$base" -eq 15 ]; then ext_model=$((model >> 4)); fi
  eax=$(( (ext_family << 20) | (ext_model << 16) | (base << 8) | ((model & 15) << 4) | stepping ))
  revision=$(( (ext_model << 12) | ((model & 15) << 8) | stepping ))
  tail=$(printf '%X%u' "$eax" "$revision")
  [[ $1 =~ ^[0-9A-F]{1,8}$tail$ ]] || fail "Cpuid $1 does not end with EAX and revision $tail"
}

case $case_name in
content)
  run_tool && expect_saved
  record=$desktop/$report_name
  [ -f "$record" ] || fail "no report on the desktop"
  name=$(wine_ascii cmd /c echo %COMPUTERNAME%)
  [ "$(value_of MachineName "$record")" = "$name" ] || fail "MachineName vs %COMPUTERNAME% '$name'"
  [ "$(value_of ProcessorCount "$record")" = "$(nproc)" ] || fail "ProcessorCount vs nproc $(nproc)"
  macs=$(ipconfig_addresses)
  [ "$(value_of MacAddresses "$record")" = "$macs" ] ||
    fail "MacAddresses $(value_of MacAddresses "$record") vs ipconfig $macs"
  bios=$(wmic_serial bios) || fail "wmic bios gave no answer"
  board=$(wmic_serial baseboard) || fail "wmic baseboard gave no answer"
  [ "$(value_of BiosSerial "$record")" = "$bios" ] || fail "BiosSerial vs wmic '$bios'"
  [ "$(value_of MotherboardSerial "$record")" = "$board" ] || fail "MotherboardSerial vs wmic '$board'"
  cpu=$(value_of Cpuid "$record")
  check_cpuid "$cpu"
  printf '<Node><Cpuid>%s</Cpuid><MachineName>%s</MachineName><ProcessorCount>%s</ProcessorCount><MacAddresses>%s</MacAddresses><BiosSerial>%s</BiosSerial><MotherboardSerial>%s</MotherboardSerial></Node>' \
    "$cpu" "$name" "$(nproc)" "$macs" "$bios" "$board" >"$work/expected"
  cmp "$record" "$work/expected" || fail "record layout differs"
  [ "$(ls -A "$desktop")" = "$report_name" ] || fail "desktop holds more than the report: $(ls -A "$desktop")"
  ;;
computername)
  # Wine sets its own COMPUTERNAME over the inherited one; cmd's set reaches the tool.
  tool=$(winpath "$exe")
  for value in ' low%name ' 'x' "$(printf 'N%.0s' $(seq 600))"; do
    run_tool cmd /c "set COMPUTERNAME=$value&& $tool" && expect_saved
    [ "$(value_of MachineName "$desktop/$report_name")" = "${value:0:511}" ] ||
      fail "COMPUTERNAME '${value:0:40}' came back as '$(value_of MachineName "$desktop/$report_name" | head -c 40)'"
  done
  run_tool cmd /c "set COMPUTERNAME=&& $tool" && expect_saved
  grep -q '<MachineName></MachineName>' "$desktop/$report_name" || fail "unset: not the empty text"
  ;;
replace-longer)
  earlier_report "$desktop/$report_name"
  run_tool && expect_saved
  [ "$(head -c 6 "$desktop/$report_name")" = "<Node>" ] || fail "not replaced"
  [ "$(tail -c 7 "$desktop/$report_name")" = "</Node>" ] || fail "trailing bytes of the earlier report"
  [ "$(stat -c %s "$desktop/$report_name")" -lt 4000 ] || fail "not shortened"
  ;;
desktop-missing)
  # The prefix's desktop link now points nowhere: the desktop cannot be found.
  rmdir "$desktop"
  run_tool && expect_error "$home/$report_name" ""
  [ ! -e "$desktop" ] || fail "the desktop was created"
  [ -z "$(find "$home" "$ZAVRO_WINEPREFIX/drive_c" -name "$report_name" 2>/dev/null)" ] ||
    fail "a report was written elsewhere"
  ;;
no-desktop-at-prefix)
  # A HOME without Desktop when the prefix is made: Wine puts the desktop at HOME.
  export ZAVRO_WINEPREFIX=$work/prefix
  home=$work/home
  mkdir -p "$home"
  run_tool && [ "$status" -eq 0 ] && [ "$console" = "$saved" ] || fail "status $status, console '$console'"
  [ -f "$home/$report_name" ] || fail "no report in HOME"
  no_temporary_files "$home"
  wine_ --server-stop
  ;;
read-only-report)
  earlier_report "$desktop/$report_name"
  chmod 444 "$desktop/$report_name"
  run_tool && expect_error "$desktop/$report_name" "$work/earlier"
  ;;
directory-in-place)
  mkdir "$desktop/$report_name"
  echo kept >"$desktop/$report_name/inside"
  run_tool && expect_error "$desktop/$report_name" ""
  [ "$(cat "$desktop/$report_name/inside")" = kept ] || fail "directory contents touched"
  ;;
held-open)
  earlier_report "$desktop/$report_name"
  mkfifo "$work/hold-in" "$work/hold-out"
  wine_ "$holder" "$(winpath "$desktop/$report_name")" <"$work/hold-in" >"$work/hold-out" 2>/dev/null &
  holder_pid=$!
  exec 8>"$work/hold-in"
  read -r -t 60 line <"$work/hold-out" && [ "${line%$'\r'}" = held ] || fail "the holder did not open the report"
  run_tool && expect_error "$desktop/$report_name" "$work/earlier"
  exec 8>&-
  wait "$holder_pid"; holder_pid=
  run_tool && expect_saved
  ;;
stdin-closed)
  wine_ "$exe" <&- >"$work/console" 2>/dev/null
  status=$? console=$(cat "$work/console")
  expect_saved
  printf 'yes\n' | wine_ "$exe" >"$work/console" 2>/dev/null
  status=$? console=$(cat "$work/console")
  expect_saved
  ;;
stdout-closed)
  run_tool && expect_saved
  mv "$desktop/$report_name" "$work/whole"
  wine_ "$exe" </dev/null >&- 2>/dev/null
  status=$?
  [ "$status" -eq 0 ] || fail "closed stdout: status $status"
  cmp -s "$desktop/$report_name" "$work/whole" || fail "closed stdout: report not whole"
  rm "$desktop/$report_name"
  exec 7> >(exec true)
  sleep 0.3
  wine_ "$exe" </dev/null >&7 2>/dev/null
  status=$?
  exec 7>&-
  [ "$status" -eq 0 ] || fail "broken pipe: status $status"
  cmp -s "$desktop/$report_name" "$work/whole" || fail "broken pipe: report not whole"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: $case_name"
