#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it (under xvfb-run when there is no display).
set -euo pipefail
cd "$(dirname "$0")"
. scripts/common.sh

install_missing
configure_build build/release -DCMAKE_BUILD_TYPE=Release -DVELMARON_TESTS=OFF

program=build/release/ui/velmaron
if [ ! -x "$program" ]; then
  echo "The desktop program was not built: $program is missing." >&2
  exit 1
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  install_missing xvfb xauth
  exec xvfb-run -a "$program" "$@"
fi
exec "$program" "$@"
