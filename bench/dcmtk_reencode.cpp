// velunor-bench-dcmtk-reencode: the reference for re-encoding a disc's
// files, as a user would script it with DCMTK alone: one process, every
// DICOM file below the source folders read whole (DcmFileFormat::loadFile)
// and written as Implicit VR Little Endian under the name F0000001, F0000002
// ... (names dcmmkdir accepts) into the output folder, one file after the
// other on one core.
//
// Usage: velunor-bench-dcmtk-reencode OUT FIRST SOURCE...
//   OUT     the folder the files go to (created)
//   FIRST   the number of the first name
// Exits 1 when a file cannot be read or written, naming it.
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: velunor-bench-dcmtk-reencode OUT FIRST SOURCE...\n";
        return 2;
    }
    const fs::path out = argv[1];
    long number = std::atol(argv[2]);
    fs::create_directories(out);
    std::vector<fs::path> files;
    for (int i = 3; i < argc; ++i)
        for (const auto& e : fs::recursive_directory_iterator(argv[i]))
            if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        DcmFileFormat file;
        if (OFCondition c = file.loadFile(f.c_str()); c.bad()) {
            std::cerr << f << ": " << c.text() << "\n";
            return 1;
        }
        char name[16];
        std::snprintf(name, sizeof name, "F%07ld", number++);
        const fs::path target = out / name;
        if (OFCondition c = file.saveFile(target.c_str(), EXS_LittleEndianImplicit); c.bad()) {
            std::cerr << target << ": " << c.text() << "\n";
            return 1;
        }
    }
    return 0;
}
