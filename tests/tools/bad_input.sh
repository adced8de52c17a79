#!/bin/sh
# The tools under bad input as a user gives it: each case ends with a clear message and the exit
# code the tool documents, never an abort.
# Every tool answers --help, and no argument, with its usage on standard output and exit 0.
#   bad_input.sh TABLECHECK DUMPTREE STANDIN_FOLDER DUMPHEADER DUMPBUILDER ENGINESERVER SEED
#                WINDOWSHOT FTPSERVER_PY DUMPS_FOLDER ENGINESQL
set -u
tablecheck=$1 dumptree=$2 standins=$3 dumpheader=$4 dumpbuilder=$5 engineserver=$6 seed=$7
windowshot=$8 ftpserver=$9 dumps=${10} enginesql=${11}
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
# A FIFO is refused at once, never waited on.
mkfifo f.IDX p
expect 1 'index file f.IDX: cannot be read (not a regular file)' "$tablecheck" f
expect 1 'cannot read p' "$dumpheader" p
expect 1 'cannot read parameter file p: is not a regular file' "$standins/exp" parfile=p
expect 1 'cannot read p: is not a regular file' "$standins/imp" userid=u/p file=p
expect 1 'cannot create p: not a regular file' "$standins/exp" userid=u/p file=p
: >e.IDX && printf 'VLDRJNL1' >e.JNL
expect 1 'rollback journal e.JNL is left: opening the table rolls it back' "$tablecheck" e
for size in 0 -1 99999999999G; do expect 2 'usage: dumpbuilder' "$dumpbuilder" --size $size x.dmp; done
expect 1 'engineserver: e.IDX is not a folder' "$engineserver" e.IDX ann </dev/null
expect 1 'engineserver: the user name is empty' "$engineserver" . '' </dev/null
expect 2 'usage: engineserver ROOT USER' "$engineserver" . ann secret </dev/null
printf 'not a dump at all\n' >r.dmp
expect 1 'IMP-00010: not a valid export file' "$standins/imp" userid=u/p file=r.dmp
expect 0 'Disconnected' "$standins/sqlplus" </dev/zero
printf 'frob\n' >s1
expect 1 'line 1: unknown statement "frob"' "$seed" out s1
printf '# users first\nrow SCOTT.EMP 1\n' >s2
expect 1 'line 2: no user SCOTT declared before its objects' "$seed" out s2
printf 'user A a\ntable A.T (x\n' >s3
expect 1 'line 2: incomplete input' "$seed" out s3
# A device, a FIFO or a folder as the file to read: refused at once, never read without end.
for f in /dev/zero p d; do
  expect 1 "cannot read $f: not a regular file" "$seed" out $f
  expect 2 "cannot read $f: not a regular file" "$enginesql" db $f
done
expect 1 'line 1: longer than' "$seed" out </dev/zero
expect 2 'enginesql: r.dmp is not a folder' "$enginesql" r.dmp s1
expect 1 'the password line is longer than' env -u VELMARON_ENGINESERVER_PASSWORD "$engineserver" . ann </dev/zero
expect 1 'windowshot: no display' env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$windowshot" \
  --screenshot x.png
if [ -e out ] || ls | grep -q seed-; then
  echo 'FAILED: a refused description left files behind'
  failed=1
fi
expect 1 'exists and is not an empty folder' "$seed" d/.. s1
# usage COMMAND...: the command prints its usage on standard output only and exits with 0.
usage() {
  out=$("$@" 2>"$dir/err" </dev/null) && printf '%s\n' "$out" | grep -q '^usage: ' && [ ! -s "$dir/err" ] ||
    { printf 'FAILED: %s: wanted the usage on standard output and exit 0; got:\n%s\n' "$*" "$out"; failed=1; }
}
for tool in "$tablecheck" "$dumptree" "$standins/standin" "$dumpbuilder" "$dumpheader" "$engineserver" \
  "$seed" "$windowshot"; do
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
