#!/usr/bin/env bash
# The long runs: the archive's life (consecutive unattended runs of the run
# controller in one process, with studies of every size arriving and seeded
# faults: unreadable files in new and carried-over studies, the database gone
# or refusing writes, an image that fails verification, a run killed at a
# random moment, a second run started while one is active), then the
# velunor-cli soak on SQLite and on PostgreSQL (SIGKILL at a random moment,
# debris of killed runs, the database gone, a full image folder; peak memory
# and open descriptors per run). Exits non-zero when a rule broke, the
# archive stalled or did not drain, or memory or descriptors did not stay
# flat.
#
#   scripts/soak.sh [life runs, default 1000] [seed, default 1] [cli runs, default 20]
#
# Under AddressSanitizer and UndefinedBehaviorSanitizer (LeakSanitizer checks
# every velunor-cli and the soak itself when they end), with fewer runs:
#   VELUNOR_BUILD_DIR=build-sanitize VELUNOR_CMAKE_ARGS=-DVELUNOR_SANITIZE=ON scripts/soak.sh 150 1 8
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELUNOR_BUILD_DIR:-$root/build}
runs=${1:-1000}
seed=${2:-1}
cliRuns=${3:-20}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELUNOR_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target velunor-cli velunor-soak velunor-life

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
echo "== the archive's life, $runs runs"
"$build/tests/reliability/velunor-life" --runs "$runs" --seed "$seed" --quiet || status=1
soak=$build/tests/reliability/velunor-soak
echo "== velunor-cli soak, SQLite"
"$soak" --backend sqlite --runs "$cliRuns" --seed "$seed" || status=1
echo "== velunor-cli soak, PostgreSQL"
"$root/scripts/with-postgres.sh" "$soak" --backend postgres --runs "$cliRuns" --seed "$seed" || status=1
exit $status
