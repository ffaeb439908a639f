// libFuzzer program: each input is a study ZIP archive that UnzipArchive extracts.
#include "tests/fuzz/fuzz_main.hpp"

VELUNOR_FUZZ_MAIN(FuzzZip)
