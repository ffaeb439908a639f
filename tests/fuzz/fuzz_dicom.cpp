// libFuzzer program: each input is a DICOM file, read, re-written and recorded in a DICOMDIR.
#include "tests/fuzz/fuzz_main.hpp"

VELUNOR_FUZZ_MAIN(FuzzDicom)
