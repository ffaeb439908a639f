// The libFuzzer entry points of one fuzz program: a private work folder for
// the process, and every input handed to one target function of
// fuzz_targets.hpp. A broken promise, or an exception the code under test
// is not documented to raise, ends the process with abort(), which
// libFuzzer reports as a crash and saves the input.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tests/fuzz/fuzz_targets.hpp"

namespace velunor::fuzz {

// A folder of its own under the system's temporary directory, removed when
// the process ends normally.
struct ProcessFolder {
    std::filesystem::path path;
    ProcessFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velunor-fuzz-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) {
            std::perror("velunor fuzz: mkdtemp");
            std::abort();
        }
        path = buffer.data();
    }
    ~ProcessFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

inline const std::filesystem::path& WorkFolder() {
    static ProcessFolder folder;
    return folder.path;
}

template <class Target>
int RunOne(Target target, const std::uint8_t* data, std::size_t size) {
    try {
        target(data, size, WorkFolder());
    } catch (const Broken& e) {
        std::fprintf(stderr, "velunor fuzz: broken promise: %s\n", e.what());
        std::abort();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velunor fuzz: unexpected exception: %s\n", e.what());
        std::abort();
    }
    return 0;
}

}  // namespace velunor::fuzz

#define VELUNOR_FUZZ_MAIN(target)                                                             \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {       \
        return velunor::fuzz::RunOne(velunor::fuzz::target, data, size);                       \
    }
