// velunor-reliability crash|soak [--backend sqlite|postgres] [--steps N] [--seed N]:
// crash kills velunor-cli at N moments (default 70); soak draws one of every
// fault per round for N runs (default 20), watching memory and descriptors
// (harness.hpp). Exit 0 when all was survived, 1 otherwise, 2 on bad arguments.
#include <cstdlib>
#include <iostream>
#include <string>

#include "tests/reliability/harness.hpp"

int main(int argc, char** argv) {
    using namespace velunor::reliability;
    const std::string mode = argc > 1 ? argv[1] : "";
    SuiteOptions o{.soak = mode == "soak", .steps = mode == "soak" ? 20 : 70};
    bool bad = (mode != "crash" && mode != "soak") || argc % 2 != 0;
    for (int i = 2; i + 1 < argc && !bad; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--backend" && (value == "sqlite" || value == "postgres"))
            o.scenario.kind = value == "sqlite" ? ArchiveKind::Sqlite : ArchiveKind::Postgres;
        else if (option == "--steps") o.steps = std::atoi(value.c_str());
        else if (option == "--seed") o.seed = o.scenario.seed = std::strtoull(value.c_str(), nullptr, 10);
        else bad = true;
    }
    if (bad || o.steps < 1 || o.steps > 10000)
        return std::cerr << "usage: velunor-reliability crash|soak [--backend sqlite|postgres] [--steps 1..10000] [--seed N]\n", 2;
    o.log = [](const std::string& line) { std::cout << line << std::endl; };
    try {
        const SuiteReport r = RunSuite(o);
        for (const auto& f : r.failures) std::cout << "FAILURE: " << f << "\n";
        std::cout << (o.scenario.kind == ArchiveKind::Sqlite ? "SQLite: " : "PostgreSQL: ") << r.Summary() << "\n";
        return r.failures.empty() && r.survived == r.tried ? 0 : 1;
    } catch (const std::exception& e) {
        return std::cerr << "velunor-reliability: " << e.what() << "\n", 1;
    }
}
