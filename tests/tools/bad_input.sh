#!/bin/sh
# The tools under bad input as a user gives it: each case ends with a clear message and the exit
# code the tool documents, never an abort.
# Every tool answers --help, and no argument, with its usage on standard output and exit 0.
#   bad_input.sh TABLECHECK DUMPTREE STANDIN_FOLDER DUMPBUILDER DUMPHEADER ENGINESERVER WINDOWSHOT
#                FTPSERVER_PY DUMPS_FOLDER
set -u
tablecheck=$1 dumptree=$2 standins=$3 dumpbuilder=$4 dumpheader=$5 engineserver=$6 windowshot=$7
ftpserver=$8 dumps=$9
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT && cd "$dir" || exit 1
failed=0
# expect CODE TEXT COMMAND...: the command exits with CODE and prints TEXT.
expect() {
  code=$1 text=$2
  shift 2
  out=$("$@" 2>&1)
  rc=$?
  if [ "$rc" -ne "$code" ] || ! printf '%s\n' "$out" | grep -qF -- "$text"; then
    printf 'FAILED: %s: exit %s, wanted %s and "%s"; output:\n%s\n' "$*" "$rc" "$code" "$text" "$out"
    failed=1
  fi
}
mkdir a.IDX
expect 1 'index file a.IDX: cannot be read (a folder)' "$tablecheck" a
: >b.IDX && mkdir b.DAT
expect 1 'data file b.DAT: cannot be read (a folder)' "$tablecheck" b
: >c.IDX && : >c.DAT && mkdir c.BLB
expect 1 'blob file c.BLB: cannot be read (a folder)' "$tablecheck" c
expect 2 '--helpers takes a number from 0 to' "$dumptree" --helpers 100000 x.dmp
mkdir d
expect 1 'cannot read parameter file d: is a folder' "$standins/exp" parfile=d
expect 1 'Export terminated unsuccessfully' "$standins/exp" userid=u/p file=d
expect 1 'cannot read d: is a folder' "$standins/imp" userid=u/p file=d
# usage COMMAND...: the command prints its usage on standard output only and exits with 0.
usage() {
  out=$("$@" 2>"$dir/err" </dev/null) && printf '%s\n' "$out" | grep -q '^usage: ' && [ ! -s "$dir/err" ] ||
    { printf 'FAILED: %s: wanted the usage on standard output and exit 0; got:\n%s\n' "$*" "$out"; failed=1; }
}
for tool in "$tablecheck" "$dumptree" "$standins/standin" "$dumpbuilder" "$dumpheader" "$engineserver" \
  "$windowshot"; do
  usage "$tool" --help
  usage "$tool"
done
usage python3 "$ftpserver" --help
usage python3 "$ftpserver"
# dumptree --ddl writes the definition files of the whole dump, as Export DDL on the top node does.
mkdir ddl
expect 0 '# ' "$dumptree" --ddl ddl "$dumps/Toriikk__SQL_STUDY__hr.dmp"
grep -q '^END secure_dml;' ddl/HR_Procedures.sql || { echo "FAILED: dumptree --ddl"; failed=1; }
expect 2 'Directory not exists: missing' "$dumptree" --ddl missing "$dumps/Toriikk__SQL_STUDY__hr.dmp"
exit $failed
