#!/usr/bin/env bash
# Builds the Debian package velunor_<version>_amd64.deb (CPack) from the build
# folder and prints its path as the last line. The version is the project's
# (project(Velunor VERSION ...) in CMakeLists.txt). When lintian is installed,
# the package is checked and any error fails the build.
#
#   VELUNOR_BUILD_DIR    build folder (default build/), configured here
#   VELUNOR_PACKAGE_DIR  where the package goes (default <build folder>/package)
source "$(dirname "$0")/common.sh"
out=${VELUNOR_PACKAGE_DIR:-$build/package}

install_deps >&2

# The changelog's date is the last commit's, so the same sources give the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$epoch
fi
configure "$build"
if grep -qE '^VELUNOR_(SANITIZE|FUZZ):BOOL=(ON|1|TRUE|YES)$' "$build/CMakeCache.txt"; then
  echo "package: $build is a sanitizer or fuzzing build; package a plain one" >&2
  exit 2
fi
compile "$build" velunor velunor-cli velunor-package-files >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$out/velunor_${version}_amd64.deb
mkdir -p "$out"
rm -f "$out"/velunor_*.deb
if ! cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  exit 1
fi
if [ ! -f "$deb" ]; then
  echo "package: cpack made no $deb (see $out/cpack.log)" >&2
  exit 1
fi

if command -v lintian >/dev/null; then
  echo "package: lintian $deb" >&2
  lintian --fail-on error --display-info "$deb" >&2
fi
echo "$deb"
