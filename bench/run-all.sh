#!/usr/bin/env bash
# Every benchmark on one generated data set, then docs/benchmarks.md and
# docs/benchmarks.json written from the figures of this run.
#
#   bench/run-all.sh [--size-gb S] [--keep] [--no-dcmconv] [--work DIR]
#
# Installs the packages and builds velunor-bench-all with what it runs (in
# build/, or $VELUNOR_BUILD_DIR), then runs it beside a throw-away
# PostgreSQL (scripts/with-postgres.sh) for the selection benchmark. The data
# set (S GB, default 4, at most 4.4) and everything made from it live in a
# fresh folder under the system's temporary directory ($TMPDIR), removed at
# the end unless --keep is given; the program refuses to start when that
# file system has less than about 4.2 x S + 2 GB free.
# The log of the run goes to standard output; the exit status is non-zero
# when a benchmark could not be measured.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELUNOR_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELUNOR_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target velunor-bench-all

tmp=${TMPDIR:-/tmp}
echo "run-all: free space where the data set goes ($tmp):"
df -h "$tmp"

cd "$root"
exec "$root/scripts/with-postgres.sh" "$build/bench/velunor-bench-all" \
  --template "$root/bench/benchmarks.md.in" --out "$root/docs/benchmarks.md" \
  --json "$root/docs/benchmarks.json" "$@"
