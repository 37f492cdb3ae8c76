#!/usr/bin/env bash
# Checks the built Windows file itself: imports, embedded resources, the cpack ZIP
# (zavro-record.exe is expected beside zavro-sysinfo.exe).
# Usage: binary_windows_test.sh <zavro-sysinfo.exe> <build dir> imports|resources|package
# Exit 0 pass, 1 fail, 77 skipped (the reason is printed).
set -u
exe=$(readlink -f "$1")
build=$(readlink -f "$2")
case_name=$3
fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
tools=x86_64-w64-mingw32

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

case $case_name in
imports)
  command -v $tools-objdump >/dev/null || skip "$tools-objdump is missing"
  headers=$($tools-objdump -p "$exe") || fail "objdump cannot read $exe"
  grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a 64-bit PE file"
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
  [ -n "$dlls" ] || fail "no import table found"
  # DLLs every Windows installation ships; nothing from the compiler's runtime.
  allowed=' kernel32.dll iphlpapi.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll advapi32.dll
            user32.dll ws2_32.dll ucrtbase.dll '
  for dll in $dlls; do
    [[ $allowed == *" $dll"[[:space:]]* ]] || fail "imports $dll, which Windows does not ship"
  done
  for needed in kernel32.dll iphlpapi.dll shell32.dll; do
    grep -qx "$needed" <<<"$dlls" || fail "$needed is not imported: a collector is missing"
  done
  echo "imports: $(echo $dlls)"
  ;;
resources)
  command -v $tools-windres >/dev/null || skip "$tools-windres is missing"
  rc=$($tools-windres -i "$exe" -O rc 2>&1) || fail "no resources to read: $rc"
  # The manifest, type 24 (RT_MANIFEST) with the process id 1; its text in rc quoting.
  manifest=$(awk '/^1 24 /{on=1} on&&/^END/{exit} on' <<<"$rc")
  [ -n "$manifest" ] || fail "no manifest resource 1"
  grep -q 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""' <<<"$manifest" ||
    fail "the manifest does not request asInvoker without uiAccess"
  version_block=$(awk '/VERSIONINFO/{on=1} on' <<<"$rc")
  [ -n "$version_block" ] || fail "no VERSIONINFO"
  IFS=. read -r major minor patch _ <<<"$version"
  for line in "FILEVERSION ${major}, ${minor:-0}, ${patch:-0}, 0" \
              "PRODUCTVERSION ${major}, ${minor:-0}, ${patch:-0}, 0" \
              "VALUE \"ProductName\", \"zavro-sysinfo\"" \
              "VALUE \"FileVersion\", \"$version\"" \
              "VALUE \"ProductVersion\", \"$version\""; do
    grep -qF "$line" <<<"$version_block" || fail "VERSIONINFO lacks: $line"
  done
  ;;
package)
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
  (cd "$out" && cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$out" >"$out/log" 2>&1) ||
    fail "cpack failed: $(cat "$out/log")"
  zips=("$out"/*.zip)
  [ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || fail "no single ZIP in $(ls "$out")"
  entries=$(cd "$out" && cmake -E tar tf "${zips[0]}" | sort | tr '\n' ' ')
  [ "$entries" = "README.md zavro-record.exe zavro-sysinfo.exe " ] || fail "ZIP holds: $entries"
  mkdir "$out/x" && (cd "$out/x" && cmake -E tar xf "${zips[0]}") || fail "cannot unpack"
  cmp -s "$out/x/zavro-sysinfo.exe" "$exe" || fail "the packed exe is not the built one"
  cmp -s "$out/x/zavro-record.exe" "$(dirname "$exe")/zavro-record.exe" ||
    fail "the packed zavro-record.exe is not the built one"
  cmp -s "$out/x/README.md" "$(dirname "$0")/../../README.md" || fail "the packed README differs"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: $case_name"
