#!/bin/sh
# Writes a program's man page, gzipped (-9n, as Debian wants it), from what its --help prints at
# build time, with one subsection of COMMANDS per subcommand named, from that subcommand's --help.
# The program is run under its installed name, so its usage lines name it so.
# Usage: man_page.sh PROGRAM NAME SECTION VERSION SUMMARY OUT.gz [SUBCOMMAND...]
set -eu

program=$1 name=$2 section=$3 version=$4 summary=$5 out=$6
shift 6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$(realpath "$program")" "$work/bin/$name"
PATH="$work/bin:$PATH"

# Help text as roff: kept as it is printed (no filling), backslashes and leading dots escaped.
as_roff() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }

include=""
if [ $# -gt 0 ]; then
  include=yes
  echo "[COMMANDS]" >"$work/include"
  for command in "$@"; do
    printf '.SS "%s %s"\n.nf\n' "$name" "$command" >>"$work/include"
    "$name" "$command" --help | as_roff >>"$work/include"
    printf '.fi\n' >>"$work/include"
  done
fi

help2man --no-info --no-discard-stderr --section "$section" --name "$summary" \
  --version-string "$name $version" ${include:+"--include=$work/include"} --output "$work/$name.$section" "$name"
gzip -9n -c "$work/$name.$section" >"$out"
