# shellcheck shell=bash
# Sourced by the scripts of this folder: strict mode, the source folder, the
# build folder and one way to install the packages, configure and build.
#
#   root                the source folder
#   build               the build folder: $VELUNOR_BUILD_DIR, or build/ in the source folder
#   install_deps        every Debian package Velunor needs (install-deps.sh)
#   configure DIR ARGS  cmake with Ninja, RelWithDebInfo, ARGS and $VELUNOR_CMAKE_ARGS
#   compile DIR TARGETS cmake --build on every core (every target when none is named)
#   prepare TARGETS     all three for $build
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELUNOR_BUILD_DIR:-$root/build}

install_deps() { "$root/scripts/install-deps.sh"; }
configure() {
  local dir=$1
  shift
  # shellcheck disable=SC2086  # VELUNOR_CMAKE_ARGS holds several arguments
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" ${VELUNOR_CMAKE_ARGS:-} >/dev/null
}
compile() {
  local dir=$1
  shift
  cmake --build "$dir" -j"$(nproc)" ${1:+--target "$@"}
}
prepare() {
  install_deps
  configure "$build"
  compile "$build" "$@"
}
