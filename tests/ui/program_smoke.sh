#!/usr/bin/env bash
# The real program under a virtual X server: it shows its main window titled "Velmaron for Oracle",
# a second start hands over to it and ends at once, and SIGTERM closes it cleanly (settings written).
# Without xvfb-run a developer's run is skipped (77); under CI (CI set) it fails instead.
set -euo pipefail
program=$1
if ! command -v xvfb-run >/dev/null || ! command -v xwininfo >/dev/null; then
  if [ -n "${CI:-}" ]; then echo "xvfb-run and xwininfo are needed" >&2; exit 1; fi
  echo "xvfb-run or xwininfo missing: skipped"; exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
# Each run gets its own runtime folder, so its instance socket meets no other.
export XDG_RUNTIME_DIR=$work/run TMPDIR=$work
mkdir -m 700 "$XDG_RUNTIME_DIR"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
# The program needs the X server here, whatever platform the calling shell chose.
unset QT_QPA_PLATFORM

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  set -u
  "$0" & pid=$!
  for i in $(seq 1 300); do
    xwininfo -root -tree 2>/dev/null | grep -q "\"Velmaron for Oracle\": (\"velmaron\"" && break
    sleep 0.2
  done
  if ! xwininfo -root -tree | grep -q "\"Velmaron for Oracle\": (\"velmaron\""; then
    echo "no main window titled Velmaron for Oracle" >&2; kill -KILL $pid; exit 1
  fi
  timeout 30 "$0" || { echo "the second start did not hand over and end" >&2; kill -KILL $pid; exit 1; }
  kill -TERM $pid
  wait $pid
' "$program"
grep -q '^program%20name=Velmaron for Oracle$' "$XDG_CONFIG_HOME/velmaron/velmaron.conf"
echo "started, handed over, ended cleanly"
