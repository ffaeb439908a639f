// velunor-life [--runs N] [--seed N] [--quiet]: the archive's life (life.hpp).
// One line per run (with --quiet only when a rule broke), then a table.
// Exit status 0 when every rule held, 1 otherwise, 2 on bad arguments.
#include <cstdlib>
#include <iostream>

#include "tests/reliability/life.hpp"

int main(int argc, char** argv) {
    using namespace velunor::reliability;
    LifeOptions o;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--runs" && hasValue) {
            o.runs = std::atoi(argv[++i]);
        } else if (a == "--seed" && hasValue) {
            o.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            std::cerr << "usage: velunor-life [--runs N] [--seed N] [--quiet]\n";
            return 2;
        }
    }
    if (o.runs < 3 || o.runs > 100000) return std::cerr << "--runs: 3..100000\n", 2;
    if (!quiet) o.log = [](const std::string& line) { std::cout << line << std::endl; };
    try {
        const LifeReport r = RunLife(o);
        if (quiet && !r.failures.empty())
            for (const auto& line : r.lines) std::cout << line << "\n";
        for (const auto& f : r.failures) std::cout << "BROKEN: " << f << "\n";
        std::cout << r.Table();
        return r.failures.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "velunor-life: " << e.what() << "\n";
        return 1;
    }
}
