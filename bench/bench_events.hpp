// Run events for a benchmark: every question is answered Yes, every
// message is printed with the benchmark's name, and shown errors are
// counted.
#pragma once

#include <algorithm>
#include <iostream>
#include <string>

#include "app/run_events.hpp"

namespace velunor::bench {

struct BenchEvents : RunEvents {
    std::string name;
    int errorsShown = 0;   // critical messages (shown errors) asked

    explicit BenchEvents(std::string programName) : name(std::move(programName)) {}

    void RunStarted() override {}
    void PhaseStarted(RunPhase) override {}
    void Progress(RunPhase, int) override {}
    void Status(const std::string&) override {}
    void CancelAllowed(bool) override {}
    Answer Ask(const Question& q) override {
        std::string line = q.text;
        std::replace(line.begin(), line.end(), '\r', ' ');
        std::replace(line.begin(), line.end(), '\n', ' ');
        const bool question = q.buttons == Buttons::YesNo;
        if (!question && q.icon == Icon::Critical) ++errorsShown;
        std::cerr << "    " << name << (question ? ": answered Yes: " : ": ") << line << "\n";
        return question ? Answer::Yes : Answer::Ok;
    }
    void Notice(const std::string&, const std::string&, std::chrono::milliseconds,
                const std::function<bool()>& onTick) override {
        for (int tick = 0; tick < 100 && onTick(); ++tick) {
        }
    }
    void Drive(const std::string&, bool) override {}
    void Yield() override {}
    void RunEnded(const RunOutcome&) override {}
};

}  // namespace velunor::bench
