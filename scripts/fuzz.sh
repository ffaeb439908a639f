#!/usr/bin/env bash
# Fuzzes the three places that read outside input with libFuzzer: DICOM files
# through the toolkit (read, re-encode, DICOMDIR record), study ZIP archives
# (UnzipArchive) and velunor.ini (reader, LoadConfiguration, writer).
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#
# Each fuzzer (dicom, zip, ini; all three unless TARGETs are named) runs
# SECONDS (default 300).
#
# Builds the fuzz programs with clang in a build folder of their own
# (build-fuzz, or VELUNOR_FUZZ_BUILD_DIR), makes seed corpora from a
# generated archive, python3-pydicom's sample files and crafted ZIP and INI
# files, and runs each fuzzer in turn. The corpora grow in
# build-fuzz/fuzz-corpus/<target>/ from run to run; an input that crashes a
# fuzzer or breaks a promise is saved in build-fuzz/fuzz-findings/<target>/
# (keep it in tests/fuzz/regressions/<target>/ once fixed). Exits non-zero
# when any fuzzer found something.
source "$(dirname "$0")/common.sh"
seconds=${1:-300}
case $seconds in ''|*[!0-9]*) echo "usage: $0 [SECONDS [dicom|zip|ini...]]" >&2; exit 2;; esac
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(dicom zip ini)
for target in "${targets[@]}"; do
  case $target in dicom|zip|ini) ;; *) echo "fuzz: unknown target $target (dicom, zip, ini)" >&2; exit 2;; esac
done
build=${VELUNOR_FUZZ_BUILD_DIR:-$root/build-fuzz}

install_deps
CC=clang CXX=clang++ VELUNOR_CMAKE_ARGS='' configure "$build" -DVELUNOR_FUZZ=ON
compile "$build" fuzzers

# Seeds, made afresh each time.
generated="$build/fuzz-generated"
rm -rf "$generated"
ASAN_OPTIONS=detect_leaks=0 "$build/tools/velunor-make-archive" --out "$generated" --seed 5 --studies 10 \
  --files-per-study 3 --file-size 5K --zip-percent 40 --unreadable 2 --quiet
# The system's interpreter: that is where Debian installs pydicom.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
pydicom=$("$python" -c 'import os, pydicom.data; print(os.path.join(os.path.dirname(pydicom.data.__file__), "test_files"))')
"$python" "$root/tests/fuzz/make_seeds.py" "$build/fuzz-seeds" "$generated" "$pydicom"

# The work folders of the fuzzers on tmpfs where there is one: every input
# writes files, and the INI writer syncs each one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

status=0
for target in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$target"
  findings="$build/fuzz-findings/$target"
  log="$build/fuzz-$target.log"
  mkdir -p "$corpus" "$findings"
  echo "fuzz: $target for ${seconds}s (log: $log)"
  # Leak checks off: DCMTK and Qt keep process-wide caches that look like
  # leaks. Allocations above 512 MB fail (return no memory), as on a server
  # without memory overcommit: parsing from memory, DCMTK reserves the length
  # an element declares (up to 4 GB) before it finds the file shorter, which
  # costs AddressSanitizer seconds per input; without the limit the
  # reservation succeeds and is never touched. Either way the read fails
  # with an error. More than 2 GB resident still counts as a finding.
  if ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=512 \
       "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65536 \
       -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
       "$corpus" "$build/fuzz-seeds/$target" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$log" | sed "s/^/fuzz: $target: /" || true
  else
    status=1
    echo "fuzz: $target FOUND A PROBLEM:" >&2
    grep -E 'velunor fuzz:|ERROR: |SUMMARY:|Test unit written' "$log" | sed "s/^/fuzz: $target: /" >&2 || true
  fi
done
exit $status
