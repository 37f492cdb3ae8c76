#!/usr/bin/env bash
# Runs the built tool as a process and checks what it leaves behind.
# Usage: process_linux_test.sh <zavro-sysinfo> <case> [<allocation-failing preload library>]
# Exit 0 pass, 1 fail, 77 skipped (the reason is printed).
set -u
exe=$(readlink -f "$1")
case_name=$2
. "$(dirname "$0")/process_common.sh"

work=$(mktemp -d /tmp/zavro-process.XXXXXX)
mounts=()
cleanup() {
  local m
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
home=$work/home
mkdir -p "$home/Desktop"
desktop=$home/Desktop

# run [env assignments...] -- [args...]: runs the tool with stdin from /dev/null,
# a clean environment and a time limit; sets $status and $console.
run() {
  local envs=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do envs+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  timeout 20 env -i PATH=/usr/bin:/bin HOME="$home" "${envs[@]}" "$exe" "$@" \
    </dev/null >"$work/console" 2>"$work/stderr"
  status=$?
  console=$(cat "$work/console"; printf x); console=${console%x}
  [ "$status" -ne 124 ] || fail "the tool hung"
  [ -s "$work/stderr" ] && fail "unexpected standard error: $(cat "$work/stderr")"
  return 0
}

expect_saved() {
  [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
  [ "$console" = "$saved" ] || fail "console: '$console'"
}

no_temporary_files() {
  local left
  left=$(find "$1" -maxdepth 1 -name "$report_name.*" 2>/dev/null)
  [ -z "$left" ] || fail "temporary file left behind: $left"
}

expected_macs() {
  local dir i=0 flags
  for dir in /sys/class/net/*; do
    flags=$(cat "$dir/flags" 2>/dev/null) || continue
    (( flags & 0x8 )) && continue
    printf '%s %s\n' "$(cat "$dir/ifindex")" "$(cat "$dir/address" 2>/dev/null)"
  done | sort -n -s -k1,1 | while read -r _ address; do
    address=$(printf '%s' "${address:0:17}" | tr a-f A-F)
    while [ ${#address} -lt 17 ]; do
      if [ ${#address} -eq 0 ] || [ "${address: -1}" = : ]; then address+=00; else address+=:; fi
    done
    printf '<M%u>%s</M%u>' "$i" "$address" "$i"
    i=$((i + 1))
  done
}

expected_serial() { # <dmi file>
  if cat "/sys/class/dmi/id/$1" >"$work/serial" 2>/dev/null; then
    local s; s=$(cat "$work/serial"; printf x); s=${s%x}; printf '%s' "${s%$'\n'}"
  else
    printf 'not found'
  fi
}

# EAX of CPUID leaf 1 rebuilt from the kernel's family, model and stepping;
# the revision as Windows reports it for that vendor.
check_cpuid() { # <value>
  local vendor family model stepping base ext_family ext_model eax revision tail edx bit flag
  vendor=$(awk -F': ' '/^vendor_id/{print $2; exit}' /proc/cpuinfo)
  family=$(awk -F': ' '/^cpu family/{print $2; exit}' /proc/cpuinfo)
  model=$(awk -F': ' '/^model\t/{print $2; exit}' /proc/cpuinfo)
  stepping=$(awk -F': ' '/^stepping/{print $2; exit}' /proc/cpuinfo)
  if [ -z "$family" ] || [ -z "$model" ] || [ -z "$stepping" ]; then
    [ "$1" = 000 ] || fail "no x86 signature in /proc/cpuinfo, yet Cpuid is $1"
    return
  fi
  base=$family ext_family=0
  if [ "$family" -ge 15 ]; then base=15 ext_family=$((family - 15)); fi
  ext_model=0
  if [ "$base" -ge 6 ]; then ext_model=$((model >> 4)); fi
  eax=$(( (ext_family << 20) | (ext_model << 16) | (base << 8) | ((model & 15) << 4) | stepping ))
  revision=$(( ((model & 15) << 8) | stepping ))
  if [ "$base" -eq 15 ] || { [ "$base" -eq 6 ] &&
    { [ "$vendor" = GenuineIntel ] || [ "$vendor" = CentaurHauls ]; }; }; then
    revision=$(( (ext_model << 12) | revision ))
  fi
  tail=$(printf '%X%u' "$eax" "$revision")
  [ "${1%"$tail"}" != "$1" ] || fail "Cpuid $1 does not end with EAX and revision $tail"
  edx=${1%"$tail"}
  [[ $edx =~ ^[0-9A-F]{1,8}$ ]] || fail "Cpuid $1: EDX part '$edx' is not 1 to 8 hex digits"
  # Features the kernel never hides, each at its EDX bit.
  for bit in fpu:0 tsc:4 cx8:8 cmov:15 mmx:23 sse:25 sse2:26; do
    flag=${bit%:*}
    if grep -m1 '^flags' /proc/cpuinfo | grep -qw "$flag"; then
      (( (0x$edx >> ${bit#*:}) & 1 )) || fail "Cpuid EDX $edx lacks $flag"
    fi
  done
}

can_mount() { # <dir>: a throwaway tmpfs proves we may mount here
  mount -t tmpfs -o size=64k zavro-probe "$1" 2>/dev/null || return 1
  umount "$1"
}

case $case_name in
content)
  run -- && expect_saved
  record=$desktop/$report_name
  [ "$(value_of MachineName "$record")" = "$(uname -n)" ] || fail "MachineName"
  [ "$(value_of ProcessorCount "$record")" = "$(getconf _NPROCESSORS_ONLN)" ] || fail "ProcessorCount"
  [ "$(value_of MacAddresses "$record")" = "$(expected_macs)" ] ||
    fail "MacAddresses $(value_of MacAddresses "$record") vs $(expected_macs)"
  [ "$(value_of BiosSerial "$record")" = "$(expected_serial product_serial)" ] || fail "BiosSerial"
  [ "$(value_of MotherboardSerial "$record")" = "$(expected_serial board_serial)" ] ||
    fail "MotherboardSerial"
  check_cpuid "$(value_of Cpuid "$record")"
  printf '<Node><Cpuid>%s</Cpuid><MachineName>%s</MachineName><ProcessorCount>%s</ProcessorCount><MacAddresses>%s</MacAddresses><BiosSerial>%s</BiosSerial><MotherboardSerial>%s</MotherboardSerial></Node>' \
    "$(value_of Cpuid "$record")" "$(uname -n)" "$(getconf _NPROCESSORS_ONLN)" "$(expected_macs)" \
    "$(expected_serial product_serial)" "$(expected_serial board_serial)" >"$work/expected"
  cmp "$record" "$work/expected" || fail "record layout differs"
  no_temporary_files "$desktop"
  ;;
arguments)
  run COMPUTERNAME=same -- && expect_saved
  cp "$desktop/$report_name" "$work/plain"
  run COMPUTERNAME=same -- --help -x "a b" /etc/passwd && expect_saved
  cmp -s "$desktop/$report_name" "$work/plain" || fail "arguments changed the record"
  ;;
replace-longer)
  earlier_report "$desktop/$report_name"
  run -- && expect_saved
  [ "$(head -c 6 "$desktop/$report_name")" = "<Node>" ] || fail "not replaced"
  [ "$(tail -c 7 "$desktop/$report_name")" = "</Node>" ] || fail "trailing bytes of the earlier report"
  [ "$(stat -c %s "$desktop/$report_name")" -lt 4000 ] || fail "not shortened"
  no_temporary_files "$desktop"
  ;;
computername)
  run COMPUTERNAME='%s%n%x' -- && expect_saved
  [ "$(value_of MachineName "$desktop/$report_name")" = '%s%n%x' ] || fail "format characters"
  long=$(printf 'N%.0s' $(seq 600))
  run COMPUTERNAME="$long" -- && expect_saved
  [ "$(value_of MachineName "$desktop/$report_name")" = "${long:0:511}" ] || fail "600 characters"
  run COMPUTERNAME= -- && expect_saved
  grep -q '<MachineName></MachineName>' "$desktop/$report_name" || fail "empty value"
  run COMPUTERNAME=$'\t\x01\x1b[31m <>&' -- && expect_saved
  [ "$(value_of MachineName "$desktop/$report_name")" = $'\t\x01\x1b[31m <>&' ] || fail "controls"
  high=$(printf "$(printf '\\x%02x' $(seq 128 255))")
  run COMPUTERNAME="$high" -- && expect_saved
  [ "$(value_of MachineName "$desktop/$report_name")" = "$high" ] || fail "bytes 0x80-0xFF"
  run -- && expect_saved
  [ "$(value_of MachineName "$desktop/$report_name")" = "$(uname -n)" ] || fail "unset"
  ;;
desktop-places)
  rmdir "$desktop"
  run -- && expect_saved
  [ -f "$home/$report_name" ] || fail "no Desktop: the report belongs in HOME"
  mkdir -p "$home/Bureau" "$home/.config" "$work/env-desk"
  printf 'XDG_DESKTOP_DIR="$HOME/Bureau"\n' >"$home/.config/user-dirs.dirs"
  run XDG_DESKTOP_DIR="$work/env-desk" -- && expect_saved
  [ -f "$home/Bureau/$report_name" ] || fail "user-dirs.dirs does not come first"
  rm -r "$home/Bureau"
  run XDG_DESKTOP_DIR="$work/env-desk" -- && expect_saved
  [ -f "$work/env-desk/$report_name" ] || fail "XDG_DESKTOP_DIR does not come second"
  # A relative value would resolve against the working directory; it is skipped.
  mkdir "$desktop"
  cd "$work" || fail "cd"
  run XDG_DESKTOP_DIR=env-desk -- && expect_saved
  [ -f "$desktop/$report_name" ] || fail "~/Desktop does not come third"
  ;;
no-home)
  timeout 20 env -i PATH=/usr/bin:/bin "$exe" </dev/null >"$work/console"
  status=$? console=$(cat "$work/console")
  expect_error "$work/none/$report_name" ""
  run HOME="$work/absent" -- && expect_error "$work/absent/$report_name" ""
  [ ! -e "$work/absent" ] || fail "created a home directory"
  ;;
directory-in-place)
  mkdir "$desktop/$report_name"
  touch "$desktop/$report_name/inside"
  run -- && expect_error "$desktop/$report_name" ""
  [ -f "$desktop/$report_name/inside" ] || fail "directory contents touched"
  ;;
read-only-report)
  # Root writes any file; an unprivileged user shows the read-only case honestly.
  setpriv --version >/dev/null 2>&1 || skip "setpriv is missing"
  if [ "$(id -u)" -eq 0 ]; then
    chown -R 65534:65534 "$home"; chmod 755 "$work"
    earlier_report "$desktop/$report_name"; chown 65534:65534 "$desktop/$report_name"
    chmod 444 "$desktop/$report_name"
    # A copy the unprivileged user can reach, wherever the build tree lives.
    install -m 755 "$exe" "$work/tool"
    timeout 20 setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
      env -i PATH=/usr/bin:/bin HOME="$home" "$work/tool" </dev/null >"$work/console"
    status=$? console=$(cat "$work/console")
  else
    earlier_report "$desktop/$report_name"; chmod 444 "$desktop/$report_name"
    run --
  fi
  expect_error "$desktop/$report_name" "$work/earlier"
  ;;
read-only-desktop)
  earlier_report "$work/earlier"
  if can_mount "$desktop"; then
    mount -t tmpfs -o size=64k zavro-desk "$desktop" && mounts+=("$desktop")
    cp "$work/earlier" "$desktop/$report_name"
    mount -o remount,ro "$desktop" || fail "cannot remount read-only"
  elif [ "$(id -u)" -ne 0 ]; then
    cp "$work/earlier" "$desktop/$report_name"; chmod 555 "$desktop"
  else
    skip "cannot mount here and root ignores permission bits"
  fi
  run -- && expect_error "$desktop/$report_name" "$work/earlier"
  ;;
full-disk)
  [ "$(id -u)" -eq 0 ] || skip "a size-limited tmpfs needs root"
  can_mount "$desktop" || skip "mounting is not permitted here"
  mount -t tmpfs -o size=16k,nr_inodes=16 zavro-full "$desktop" && mounts+=("$desktop")
  earlier_report "$desktop/$report_name"
  cat /dev/zero >"$desktop/filler" 2>/dev/null
  run -- && expect_error "$desktop/$report_name" "$work/earlier"
  ;;
exhausted-memory)
  # Memory runs out at the writer's getenv("HOME"), then 1, 2, ... allocations
  # later, until the write needs no more: every earlier run is a failed write.
  preload=$(readlink -f "${3:?the preload library}")
  earlier_report "$desktop/$report_name"
  for skip in $(seq 0 300); do
    run LD_PRELOAD="$preload" ZAVRO_FAIL_ALLOC_AFTER_GETENV=HOME ZAVRO_FAIL_ALLOC_SKIP="$skip" --
    [ "$status" -eq 0 ] && { echo "written with $skip allocations granted"; break; }
    expect_error "$desktop/$report_name" "$work/earlier"
  done
  [ "$skip" -gt 0 ] || fail "no allocation failed: the preload library had no effect"
  expect_saved
  [ "$(head -c 6 "$desktop/$report_name")" = "<Node>" ] || fail "no record after $skip allocations"
  no_temporary_files "$desktop"
  ;;
stdin-closed)
  timeout 20 env -i PATH=/usr/bin:/bin HOME="$home" "$exe" <&- >"$work/console" 2>/dev/null
  status=$? console=$(cat "$work/console")
  expect_saved
  [ -f "$desktop/$report_name" ] || fail "no report"
  printf 'yes\n' | timeout 20 env -i PATH=/usr/bin:/bin HOME="$home" "$exe" >"$work/console"
  status=$? console=$(cat "$work/console")
  expect_saved
  ;;
stdout-closed)
  run -- && expect_saved
  mv "$desktop/$report_name" "$work/whole"
  timeout 20 env -i PATH=/usr/bin:/bin HOME="$home" "$exe" </dev/null >&- 2>"$work/stderr"
  status=$?
  [ "$status" -eq 0 ] || fail "closed stdout: status $status"
  cmp -s "$desktop/$report_name" "$work/whole" || fail "closed stdout: report not whole"
  rm "$desktop/$report_name"
  # A pipe whose reader is gone: the message meets EPIPE.
  exec 7> >(exec true)
  sleep 0.3
  timeout 20 env -i PATH=/usr/bin:/bin HOME="$home" "$exe" </dev/null >&7 2>"$work/stderr"
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
