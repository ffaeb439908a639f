// libFuzzer program: each input is velunor.ini, read key by key, loaded, one key written back.
#include "tests/fuzz/fuzz_main.hpp"

VELUNOR_FUZZ_MAIN(FuzzIni)
