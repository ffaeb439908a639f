// Helpers shared by the test suites: temporary folders, scripted answers
// to modal questions, shell commands and error texts.
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "app/error.hpp"
#include "app/run_events.hpp"

namespace velunor::test {

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& sub) const { return path_ / sub; }

private:
    std::filesystem::path path_;
};

// Answers message boxes from a queue (Ok/No when it runs empty) and
// records every box shown.
struct ScriptedPrompter : Prompter {
    struct Box {
        std::string text;
        Icon icon;
        Buttons buttons;
    };
    std::vector<Box> shown;
    std::deque<Answer> answers;

    Answer Ask(const std::string& text, Icon icon, Buttons buttons) override;
    // Texts of the boxes shown, in order.
    std::vector<std::string> texts() const;
};

// A sleeper for HeadlessWindow that only adds up the time it was asked to wait.
struct FakeSleep {
    std::chrono::milliseconds total{0};
    void operator()(std::chrono::milliseconds d) { total += d; }
};

// Whole content of a file as bytes in a string ("" when missing).
std::string ReadAll(const std::filesystem::path& p);
void WriteAll(const std::filesystem::path& p, const std::string& content);

// `p` in single quotes for a shell command line.
std::string Quote(const std::filesystem::path& p);

// Standard output of a shell command ("" when it cannot be started).
std::string Capture(const std::string& command);

// The message of the velunor::Error that `f` raises, "" when it raises none.
template <class F>
std::string ErrorText(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

}  // namespace velunor::test
