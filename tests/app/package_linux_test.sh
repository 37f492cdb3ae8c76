#!/usr/bin/env bash
# Builds the .deb from a build tree and checks that it installs both tools to /usr/bin.
# Usage: package_linux_test.sh <build dir>. Exit 0 pass, 1 fail, 77 skipped.
set -u
build=$(readlink -f "$1")
fail() { echo "FAIL: $*"; exit 1; }
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is missing"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$out" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/log" 2>&1) ||
  fail "cpack failed: $(cat "$out/log")"
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single .deb in $(ls "$out")"
files=$(dpkg-deb -c "${debs[0]}" | awk '{print $NF}') || fail "dpkg-deb cannot list ${debs[0]}"
for tool in zavro-sysinfo zavro-record; do
  grep -qx "./usr/bin/$tool" <<<"$files" || fail "no ./usr/bin/$tool in: ${files//$'\n'/ }"
  mode=$(dpkg-deb -c "${debs[0]}" | awk -v f="./usr/bin/$tool" '$NF == f {print $1}')
  [[ $mode == -rwx* ]] || fail "./usr/bin/$tool is not executable: $mode"
done
for page in zavro-sysinfo zavro-record; do
  grep -qx "./usr/share/man/man1/$page.1.gz" <<<"$files" || fail "no man page for $page"
done
# zavro-record links the registry's libraries dynamically: the package must say so.
depends=$(dpkg-deb -f "${debs[0]}" Depends)
for lib in libsqlite3-0 libpq5 libarchive13 libssl3 libgmime-3.0-0 libcurl4 libmicrohttpd12 liblzma5 \
           libargon2-1; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
# The packed tools run from where the package puts them.
dpkg-deb -x "${debs[0]}" "$out/root" || fail "cannot unpack ${debs[0]}"
version=$("$out/root/usr/bin/zavro-record" --version) || fail "the packed zavro-record does not run"
[[ $version == "zavro-record "[0-9]* ]] || fail "the packed zavro-record says '$version'"
# Each man page has the sections a desk looks for; zavro-record's name the
# registry commands' statuses, where the registry is found and what it keeps.
section() { sed -n "/^\.SH \"\?$2\"\?\$/,/^\.SH /p" <<<"$1" | sed 1d; }
for page in zavro-sysinfo zavro-record; do
  text=$(zcat "$out/root/usr/share/man/man1/$page.1.gz") || fail "cannot read $page's man page"
  for section in 'EXIT STATUS' ENVIRONMENT FILES EXAMPLES; do
    [[ $(section "$text" "$section") == *[a-z]* ]] || fail "$page's man page lacks $section"
  done
done
checks=('EXIT STATUS|add*find*history*machines*copy*serve' 'ENVIRONMENT|ZAVRO_REGISTRY*XDG_DATA_HOME*HOME'
        'FILES|registry.sqlite*.token' 'EXAMPLES|zavro-record add*zavro-record history')
for check in "${checks[@]}"; do
  # shellcheck disable=SC2053 # globs on purpose
  [[ $(section "$text" "${check%%|*}") == *${check#*|}* ]] || fail "zavro-record's ${check%%|*}: not ${check#*|}"
done
echo "PASS: $(basename "${debs[0]}")"
