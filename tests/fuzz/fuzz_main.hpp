// The libFuzzer entry point of one fuzz program: every input goes to one target of
// fuzz_targets.hpp in a work folder of the process's own. A broken promise or an
// undocumented exception aborts: libFuzzer reports a crash and saves the input.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "tests/fuzz/fuzz_targets.hpp"

namespace velunor::fuzz {

// A folder under the system's temporary directory, removed when the process ends normally.
struct ProcessFolder {
    std::filesystem::path path;
    ProcessFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velunor-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("velunor fuzz: mkdtemp");
            std::abort();
        }
        path = pattern;
    }
    ~ProcessFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

template <class Target>
int RunOne(Target target, const std::uint8_t* data, std::size_t size) {
    static ProcessFolder work;
    try {
        target(data, size, work.path);
    } catch (const std::exception& e) {
        const bool broken = dynamic_cast<const Broken*>(&e) != nullptr;
        std::fprintf(stderr, "velunor fuzz: %s: %s\n", broken ? "broken promise" : "unexpected exception", e.what());
        std::abort();
    }
    return 0;
}

}  // namespace velunor::fuzz

#define VELUNOR_FUZZ_MAIN(target)                                                       \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        return velunor::fuzz::RunOne(velunor::fuzz::target, data, size);                 \
    }
