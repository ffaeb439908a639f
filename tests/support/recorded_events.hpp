// Run events for tests: questions answered from a script (No, or Ok for a
// message, when it runs empty), and everything a run reported kept for the
// test to look at.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/run_events.hpp"

namespace velunor::test {

struct RecordedEvents : RunEvents {
    std::deque<Answer> answers;              // the answers, in order
    std::vector<Question> asked;             // every question and message
    std::vector<RunPhase> phases;            // PhaseStarted, in order
    std::array<int, 5> progress{};           // the last value per phase
    std::vector<std::string> statuses;       // every status text
    std::vector<std::string> drives;         // every drive description
    bool driveReady = false;
    bool cancelAllowed = true;
    int runsStarted = 0;
    std::vector<RunOutcome> outcomes;        // one per RunEnded
    std::chrono::milliseconds noticeTime{0}; // what the notices were asked to wait, in total
    std::function<void()> onYield;           // the test's own pending work

    int Progress(RunPhase phase) const { return progress[static_cast<std::size_t>(phase)]; }
    // The texts of every question and message, in order.
    std::vector<std::string> Texts() const;
    // The outcome of the last run (a default one when none ended).
    const RunOutcome& Last() const;

    void RunStarted() override;
    void PhaseStarted(RunPhase phase) override;
    void Progress(RunPhase phase, int value) override;
    void Status(const std::string& text) override;
    void CancelAllowed(bool allowed) override;
    Answer Ask(const Question& question) override;
    void Notice(const std::string& title, const std::string& text, std::chrono::milliseconds interval,
                const std::function<bool()>& onTick) override;
    void Drive(const std::string& description, bool ready) override;
    void Yield() override;
    void RunEnded(const RunOutcome& outcome) override;
};

// Message boxes of the Qt windows answered and recorded as questions of
// `events`.
struct EventsPrompter : Prompter {
    RecordedEvents& events;
    std::function<void()> onAsk;   // called before each answer
    explicit EventsPrompter(RecordedEvents& e) : events(e) {}
    Answer Ask(const std::string& text, Icon icon, Buttons buttons) override {
        if (onAsk) onAsk();
        return events.Ask({text, icon, buttons});
    }
};

}  // namespace velunor::test
