#!/bin/sh
# Every real export dump in DUMPS_FOLDER (NAME.dmp beside NAME.tree, an independent reading of it:
# one line per node, owner<TAB>kind<TAB>name<TAB>start<TAB>length) read by dumptree with 0, 1, 3
# and 7 helper threads (as many as the processors allow) gives exactly its reading. A dump that
# ends before its closing records gives what it holds and the message saying so; one without
# objects says that; every other one ends without a message.
#   real_dumps.sh DUMPTREE DUMPS_FOLDER
set -u
dumptree=$1 dumps=$2
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT || exit 1
cpus=$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 1)
failed=0 count=0
for tree in "$dumps"/*.tree; do
  dump=${tree%.tree}.dmp
  name=$(basename "$dump")
  if [ ! -f "$dump" ]; then
    echo "FAILED: $name: no dump beside its reading"
    failed=1
    continue
  fi
  count=$((count + 1))
  case $name in
    dongkoo81__test__demo.dmp) want='The dump ends before its closing records.' ;;
    Sandeepjohn__Hospital-Project__EXPDAT.dmp) want='No user or object was found in this file.' ;;
    *) want='' ;;
  esac
  for helpers in 0 1 3 7; do
    [ "$helpers" -le "$cpus" ] || continue
    "$dumptree" --helpers "$helpers" "$dump" >"$dir/out" 2>"$dir/err"
    rc=$?
    grep -v '^# ' "$dir/out" >"$dir/tree"
    if ! cmp -s "$dir/tree" "$tree"; then
      echo "FAILED: $name with $helpers helpers: the tree differs from its reading"
      diff "$tree" "$dir/tree" | head -20
      failed=1
    fi
    if [ -z "$want" ] && { [ "$rc" -ne 0 ] || [ -s "$dir/err" ]; }; then
      echo "FAILED: $name with $helpers helpers: exit $rc"
      cat "$dir/err"
      failed=1
    elif [ -n "$want" ] && { [ "$rc" -ne 1 ] || ! grep -qF "$want" "$dir/err"; }; then
      echo "FAILED: $name with $helpers helpers: exit $rc without \"$want\""
      cat "$dir/err"
      failed=1
    fi
  done
done
if [ "$count" -lt 13 ]; then
  echo "FAILED: only $count real dumps found in $dumps"
  failed=1
fi
exit $failed
