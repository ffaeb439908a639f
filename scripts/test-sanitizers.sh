#!/usr/bin/env bash
# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Run after scripts/test.sh (which installs the packages).
source "$(dirname "$0")/common.sh"

# The whole test suite once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build folder of its own (build-sanitize, or
# VELUNOR_SANITIZE_BUILD_DIR): every test program and every velunor-cli the
# whole-run tests start stop at the first finding (LeakSanitizer included).
# -O1 with line tables only: half the compile time of -O2 -g, and the
# sanitizers' reports still name file and line.
sanitize=${VELUNOR_SANITIZE_BUILD_DIR:-${build}-sanitize}
configure "$sanitize" -DVELUNOR_SANITIZE=ON \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
compile "$sanitize"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0} \
LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan-suppressions.txt} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
  "$root/scripts/with-postgres.sh" ctest --test-dir "$sanitize" --output-on-failure -j"$(nproc)"
