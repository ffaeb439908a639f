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

# The whole suite once more in an AddressSanitizer + UndefinedBehaviorSanitizer
# build (its own build folder); VELUNOR_SANITIZERS=0 leaves it out of a local run.
if [ "${VELUNOR_SANITIZERS:-1}" != 0 ]; then
  VELUNOR_BUILD_DIR="$build" "$root/scripts/test-sanitizers.sh"
fi

# Fuzz smoke: each libFuzzer program (DICOM toolkit, ZIP extraction, INI
# reader) runs a few seconds on its seeds, in a clang build of its own. The
# bounded runs are a separate command: scripts/fuzz.sh SECONDS.
VELUNOR_FUZZ_BUILD_DIR="${build}-fuzz" "$root/scripts/fuzz.sh" "${VELUNOR_FUZZ_SMOKE_SECONDS:-5}"
