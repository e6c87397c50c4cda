#!/bin/sh
# Installs the Debian packages that building and testing need; this is the one
# list of them, used by make, by CI and by newcomers alike.
#   ./setup.sh build   what `make demo` and `make build` need
#   ./setup.sh pack    what `make octave-pkg` needs (no GoogleTest)
#   ./setup.sh windows what `make windows` needs
#   ./setup.sh test    what the whole test command needs (the default)
#   ./setup.sh --list  prints the test list and exits
# As root it installs what is missing with apt-get; otherwise it prints the
# exact sudo line to run and stops with status 1.
set -eu

pack_packages="make g++ cmake"
build_packages="$pack_packages libgtest-dev zlib1g-dev libdeflate-dev"
windows_packages="g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 icoutils"
test_packages="$build_packages
  clang libclang-rt-14-dev valgrind libxml2-utils
  octave liboctave-dev
  $windows_packages
  python3-dev python3-pybind11 python3-numpy python3-sklearn python3-dask python3-distributed python3-pandas python3-pytest"

case "${1:-test}" in
  build) wanted=$build_packages ;;
  pack) wanted=$pack_packages ;;
  windows) wanted="$build_packages $windows_packages" ;;
  test) wanted=$test_packages ;;
  --list) echo $test_packages; exit 0 ;;
  *) echo "usage: $0 [build|pack|windows|test|--list]" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "setup.sh: not a Debian system; make sure these (or your system's equivalents) are installed:" >&2
  echo "  $(echo $wanted)" >&2
  exit 0
fi

missing=""
for p in $wanted; do
  case "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)" in
    ii*) ;;
    *) missing="$missing $p" ;;
  esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: missing Debian packages. Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y$missing" >&2
  echo "then run the command again." >&2
  exit 1
fi
# One line per step on the screen; apt's own output goes to a log, shown in
# full if a step fails.
log=${SETUP_LOG:-$(dirname "$0")/build/setup.log}
mkdir -p "$(dirname "$log")" && : >"$log"
export DEBIAN_FRONTEND=noninteractive
step() {
  text=$1
  shift
  started=$(date +%s)
  if "$@" >>"$log" 2>&1 </dev/null; then
    echo "setup.sh: $text: done ($(( $(date +%s) - started )) s)"
  else
    cat "$log"
    echo "setup.sh: $text: FAILED (log: $log)" >&2
    exit 1
  fi
}
echo "setup.sh: installing$missing (log: $log)"
step "apt-get update" apt-get update -q
step "apt-get install of $(echo $missing | wc -w) packages" apt-get install -y -q $missing
