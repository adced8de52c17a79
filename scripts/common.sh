# Shared by run.sh and test.sh: installs the Debian packages that are missing, configures, builds.
# Sourced, not run.

VELMARON_PACKAGES=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
  zlib1g-dev libicu-dev
  libcurl4-openssl-dev python3-pyftpdlib
  qt6-base-dev xvfb xauth x11-utils fonts-dejavu-core
)

install_missing() {
  local missing=() p
  for p in "${VELMARON_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then sudo="sudo"; else
      echo "These Debian packages are missing and this is not root: ${missing[*]}" >&2
      return 1
    fi
  fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

jobs() { nproc 2>/dev/null || echo 2; }

# configure_build DIR [cmake options...]
configure_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$(jobs)"
}

# check_format: every tracked C++ file is as clang-format writes it.
check_format() {
  local bad
  bad=$(git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run 2>&1 | grep -o '^[^:]*:[0-9]*:' | cut -d: -f1 | sort -u || true)
  if [ -n "$bad" ]; then
    echo "These files are not formatted (run clang-format -i on them):" >&2
    printf '  %s\n' $bad >&2
    return 1
  fi
}

# check_includes: no layer includes from a layer above it, and only platform/ includes the system's
# headers (the chart is in scripts/check_includes.py).
check_includes() {
  python3 scripts/check_includes.py
}
