// velunor-crash-suite: the full crash-safety suite. Kills velunor-cli with
// SIGKILL at many moments of its runs on a generated archive, checks the
// archive's invariants after every step and drains the archive at the end.
//
//   velunor-crash-suite [--backend sqlite|postgres] [--kill-points N] [--seed N]
//
// PostgreSQL needs the server of scripts/with-postgres.sh. Exit status 0
// when every kill point was survived, 1 otherwise, 2 on bad arguments.
#include <cstdlib>
#include <iostream>
#include <string>

#include "tests/reliability/harness.hpp"

int main(int argc, char** argv) {
    using namespace velunor::reliability;
    CrashOptions o;
    o.killPoints = 70;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--backend" && hasValue) {
            const std::string b = argv[++i];
            if (b == "sqlite") o.scenario.kind = ArchiveKind::Sqlite;
            else if (b == "postgres") o.scenario.kind = ArchiveKind::Postgres;
            else return std::cerr << "unknown backend " << b << "\n", 2;
        } else if (a == "--kill-points" && hasValue) {
            o.killPoints = std::atoi(argv[++i]);
        } else if (a == "--seed" && hasValue) {
            o.seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::cerr << "usage: velunor-crash-suite [--backend sqlite|postgres] [--kill-points N] [--seed N]\n";
            return 2;
        }
    }
    if (o.killPoints < 1 || o.killPoints > 10000) return std::cerr << "--kill-points: 1..10000\n", 2;
    o.scenario.seed = o.seed;
    o.log = [](const std::string& line) { std::cout << line << std::endl; };
    try {
        CrashReport r = RunCrashSuite(o);
        for (const auto& f : r.failures) std::cout << "FAILURE: " << f << "\n";
        std::cout << (o.scenario.kind == ArchiveKind::Sqlite ? "SQLite: " : "PostgreSQL: ") << r.Summary() << "\n";
        return r.failures.empty() && r.survived == r.tried ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "velunor-crash-suite: " << e.what() << "\n";
        return 1;
    }
}
