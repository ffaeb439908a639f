#!/usr/bin/env bash
# The long reliability runs (docs/reliability.md), each on SQLite and then on
# PostgreSQL. Prints every step and a summary per database; exits non-zero
# when a fault was not survived, an invariant broke, the archive did not
# drain, or memory or descriptors did not stay flat.
#
#   scripts/reliability.sh crash [POINTS [SEED]]
#       velunor-cli killed with SIGKILL at POINTS moments (default 70) of its
#       runs, every stretch of a run in turn (seed default 1)
#   scripts/reliability.sh soak [RUNS [SEED [CLI_RUNS]]]
#       the archive's life with RUNS unattended runs in one process (default
#       1000), then CLI_RUNS velunor-cli runs (default 20), each with a fault
#       drawn from every kind once per round, watching memory and descriptors
#
# Under AddressSanitizer and UndefinedBehaviorSanitizer, with fewer runs:
#   VELUNOR_BUILD_DIR=build-sanitize VELUNOR_CMAKE_ARGS=-DVELUNOR_SANITIZE=ON scripts/reliability.sh soak 150 1 8
source "$(dirname "$0")/common.sh"
mode=${1:-}
case $mode in
  crash) steps=${2:-70} seed=${3:-1} ;;
  soak) runs=${2:-1000} seed=${3:-1} steps=${4:-20} ;;
  *) echo "usage: $0 crash [POINTS [SEED]] | soak [RUNS [SEED [CLI_RUNS]]]" >&2; exit 2 ;;
esac
prepare velunor-cli velunor-reliability velunor-life

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
if [ "$mode" = soak ]; then
  echo "== the archive's life, $runs runs"
  "$build/tests/reliability/velunor-life" --runs "$runs" --seed "$seed" --quiet || status=1
fi
tool=$build/tests/reliability/velunor-reliability
echo "== velunor-cli $mode, SQLite"
"$tool" "$mode" --backend sqlite --steps "$steps" --seed "$seed" || status=1
echo "== velunor-cli $mode, PostgreSQL"
"$root/scripts/with-postgres.sh" "$tool" "$mode" --backend postgres --steps "$steps" --seed "$seed" || status=1
exit $status
