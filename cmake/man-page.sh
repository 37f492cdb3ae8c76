#!/usr/bin/env bash
# Makes zavro-record's man page from its --help and each command's --help, with
# the sections no help gives (exit status, environment, files, examples) from
# app/man/zavro-record.h2m.
# Usage: man-page.sh <zavro-record> <version> <output .1.gz>
set -euo pipefail
exe=$1
version=$2
out=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{
  echo '[COMMANDS]'
  "$exe" --help | awk '/^Subcommands:/ {on = 1; next} on && NF {print $1}' | while read -r command; do
    echo '.TP'
    echo "\\fB$command\\fR"
    "$exe" "$command" --help </dev/null | sed -e 's/\\/\\e/g' -e 's/^\./\\\&./' -e 's/$/\n.br/'
    # A command of commands (user, token): each of its own too.
    "$exe" "$command" --help </dev/null | awk '/^Subcommands:/ {on = 1; next} on && NF {print $1}' |
      while read -r sub; do
        echo '.TP'
        echo "\\fB$command $sub\\fR"
        "$exe" "$command" "$sub" --help </dev/null | sed -e 's/\\/\\e/g' -e 's/^\./\\\&./' -e 's/$/\n.br/'
      done
  done
} >"$work/include"
help2man --no-info --no-discard-stderr --name='read, check and compare machine identity reports; keep a registry of machines' \
  --version-string="$version" --include="$work/include" \
  --include="$(dirname "$0")/../app/man/zavro-record.h2m" --output="$work/zavro-record.1" "$exe"
gzip -9n <"$work/zavro-record.1" >"$out"
