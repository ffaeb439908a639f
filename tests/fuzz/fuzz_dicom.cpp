// libFuzzer program: each input is a DICOM file, read from memory and
// from a file, written as Implicit VR Little Endian and recorded in a DICOMDIR.
#include "tests/fuzz/fuzz_main.hpp"

VELUNOR_FUZZ_MAIN(FuzzDicom)
