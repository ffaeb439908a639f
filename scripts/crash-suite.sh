#!/usr/bin/env bash
# The full crash-safety suite: velunor-cli is killed with SIGKILL at many
# moments of its runs (staging, DICOMDIR, image write, publication,
# verification, database update, LastMediaNr write, clean-up) on a generated
# archive, on SQLite and on PostgreSQL; after every kill and every run the
# database must record only what an independent read finds on the images,
# and at the end the archive must be drained. Prints every kill point and a
# summary per database; exits non-zero when one was not survived.
#
#   scripts/crash-suite.sh [kill points per database, default 70] [seed, default 1]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELUNOR_BUILD_DIR:-$root/build}
points=${1:-70}
seed=${2:-1}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELUNOR_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target velunor-cli velunor-crash-suite

suite=$build/tests/reliability/velunor-crash-suite
status=0
"$suite" --backend sqlite --kill-points "$points" --seed "$seed" || status=1
"$root/scripts/with-postgres.sh" "$suite" --backend postgres --kill-points "$points" --seed "$seed" || status=1
exit $status
