#!/usr/bin/env bash
# Fresh Debian 12 machine to tested build: installs the packages, configures,
# builds, starts the services the tests need and runs every test.
# Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELUNOR_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELUNOR_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"

# Tests that need PostgreSQL get a throw-away cluster for the duration of the run.
if [ -x "$root/scripts/with-postgres.sh" ]; then
  "$root/scripts/with-postgres.sh" ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
else
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
fi
