#include "tests/support/recorded_events.hpp"

#include <algorithm>

namespace velunor::test {

std::vector<std::string> RecordedEvents::Texts() const {
    std::vector<std::string> out;
    for (const auto& q : asked) out.push_back(q.text);
    return out;
}

const RunOutcome& RecordedEvents::Last() const {
    static const RunOutcome none;
    return outcomes.empty() ? none : outcomes.back();
}

void RecordedEvents::RunStarted() {
    ++runsStarted;
    progress.fill(0);
}

void RecordedEvents::PhaseStarted(RunPhase phase) { phases.push_back(phase); }

void RecordedEvents::Progress(RunPhase phase, int value) {
    // A value outside the range is a fault of the reporter, not of the bar.
    progress[static_cast<std::size_t>(phase)] = std::clamp(value, -1, kProgressMax + 1);
}

void RecordedEvents::Status(const std::string& text) { statuses.push_back(text); }

void RecordedEvents::CancelAllowed(bool allowed) { cancelAllowed = allowed; }

Answer RecordedEvents::Ask(const Question& question) {
    asked.push_back(question);
    if (question.buttons != Buttons::YesNo) return Answer::Ok;
    if (answers.empty()) return Answer::No;
    const Answer a = answers.front();
    answers.pop_front();
    return a;
}

void RecordedEvents::Notice(const std::string&, const std::string&, std::chrono::milliseconds interval,
                            const std::function<bool()>& onTick) {
    for (int tick = 0; tick < 1000; ++tick) {
        noticeTime += interval;
        Yield();
        if (!onTick()) return;
    }
}

void RecordedEvents::Drive(const std::string& description, bool ready) {
    drives.push_back(description);
    driveReady = ready;
}

void RecordedEvents::Yield() {
    if (onYield) onYield();
}

void RecordedEvents::RunEnded(const RunOutcome& outcome) { outcomes.push_back(outcome); }

}  // namespace velunor::test
