// velunor-soak: consecutive velunor-cli runs on a growing archive, with
// seeded random faults between them, watching memory and file descriptors
// (tests/reliability/soak.hpp says what is run and checked).
//
//   velunor-soak [--runs N] [--seed N] [--backend sqlite|postgres]
//
// Exit status 0 when every invariant held and memory and descriptors stayed
// flat, 1 otherwise, 2 on bad arguments. PostgreSQL needs the server of
// scripts/with-postgres.sh.
#include <cstdlib>
#include <iostream>

#include "tests/reliability/soak.hpp"

int main(int argc, char** argv) {
    using namespace velunor::reliability;
    SoakOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--runs" && hasValue) {
            o.runs = std::atoi(argv[++i]);
        } else if (a == "--seed" && hasValue) {
            o.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--backend" && hasValue) {
            const std::string b = argv[++i];
            if (b != "sqlite" && b != "postgres") return std::cerr << "unknown backend " << b << "\n", 2;
            o.kind = b == "sqlite" ? ArchiveKind::Sqlite : ArchiveKind::Postgres;
        } else {
            std::cerr << "usage: velunor-soak [--runs N] [--seed N] [--backend sqlite|postgres]\n";
            return 2;
        }
    }
    if (o.runs < 2 || o.runs > 1000) return std::cerr << "--runs: 2..1000\n", 2;
    try {
        const std::vector<std::string> problems = RunSoak(o);
        for (const auto& p : problems) std::cout << "PROBLEM: " << p << "\n";
        std::cout << (problems.empty() ? "soak: every invariant held, memory and descriptors flat\n"
                                       : "soak: " + std::to_string(problems.size()) + " problems\n");
        return problems.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "velunor-soak: " << e.what() << "\n";
        return 1;
    }
}
