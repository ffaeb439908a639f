#!/usr/bin/env bash
# The soak: consecutive archive runs on a growing archive with seeded random
# faults between them (SIGKILL at a random moment, debris of killed runs, the
# database gone, a full image folder, velunor.ini rewritten), as velunor-cli
# processes and in one process as the unattended window runs them, on SQLite
# and on PostgreSQL. Prints peak memory and open descriptors per run; exits
# non-zero when an invariant broke, the archive did not drain, or memory or
# descriptors did not stay flat.
#
#   scripts/soak.sh [runs, default 20] [seed, default 1]
#
# Under AddressSanitizer and UndefinedBehaviorSanitizer (LeakSanitizer checks
# every velunor-cli and the soak itself when they end), with fewer runs:
#   VELUNOR_BUILD_DIR=build-sanitize VELUNOR_CMAKE_ARGS=-DVELUNOR_SANITIZE=ON scripts/soak.sh 8
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELUNOR_BUILD_DIR:-$root/build}
runs=${1:-20}
seed=${2:-1}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELUNOR_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target velunor-cli velunor-soak

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
soak=$build/tests/reliability/velunor-soak
status=0
echo "== SQLite"
"$soak" --backend sqlite --runs "$runs" --seed "$seed" || status=1
echo "== PostgreSQL"
"$root/scripts/with-postgres.sh" "$soak" --backend postgres --runs "$runs" --seed "$seed" || status=1
exit $status
