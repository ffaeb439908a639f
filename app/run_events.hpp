// Run events: the one way the run core tells the world what it does.
//
// The run controller and the phases report through RunEvents and nothing
// else; they never learn anything back from a window. Two skins implement
// it: the Qt main window, which maps each event onto its controls, and
// velunor-cli, which maps them onto lines of standard error and takes its
// exit status from the outcome of RunEnded. Tests record them.
//
// Every event arrives on the thread that runs the controller (the user-
// interface thread); Ask, Notice and Yield may re-enter the controller
// (a Cancel click, a timer tick).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velunor {

// Every message box of the program carries this title.
inline constexpr std::string_view kTitle = "Velunor";

enum class Icon { None, Critical, Exclamation, Information, Question };
enum class Buttons { Ok, YesNo };
enum class Answer { Ok, Yes, No };

// The five phases of a run, in their order; each has one progress bar.
enum class RunPhase { Collect, DicomDir, Disc, Verify, Record };
inline constexpr RunPhase kRunPhases[] = {RunPhase::Collect, RunPhase::DicomDir, RunPhase::Disc, RunPhase::Verify,
                                          RunPhase::Record};

// The caption of a phase ("Gathering data", "Create dicomdir", "Create DVD",
// "Verify DVD", "Update database").
std::string_view PhaseCaption(RunPhase phase);

// A progress value is in 0..kProgressMax.
inline constexpr int kProgressMax = 10000;

// A modal question or message, titled "Velunor".
struct Question {
    std::string text;
    Icon icon = Icon::None;
    Buttons buttons = Buttons::Ok;
    // Asked in unattended mode: the main window shows itself for it and
    // hides again when the answer is No (it stays for a Yes).
    bool unattended = false;
};

// Answers modal questions: a QMessageBox, a terminal prompt, and in tests
// a scripted list of answers.
class Prompter {
public:
    virtual ~Prompter() = default;
    // Shows `text` modally with the given icon and buttons, title "Velunor",
    // and returns the answer (Answer::Ok for a box with one button).
    virtual Answer Ask(const std::string& text, Icon icon, Buttons buttons) = 0;
};

// What a run did, handed over with RunEnded: the completion message, the
// runner's last line and its exit status are made from it.
struct RunOutcome {
    bool couldNotStart = false;      // refused before anything was staged (lock, credentials, media number)
    // The collection.
    int carryOverStudies = 0;        // studies that brought files into DVD/1/
    int newStudies = 0;              // studies that brought files into DVD/2/
    int oversizedStudies = 0;        // new studies larger than one disc, withdrawn (never recorded)
    std::vector<std::string> partlyUnreadable;  // source folders of studies archived without some files
    bool nothingToWrite = false;     // no disc, although nothing failed
    // The disc.
    bool discWritten = false;        // written (or an image taken over) and verified
    std::int64_t discNumber = 0;     // its number (the number in its label)
    std::vector<std::string> studies1, studies2;  // Study UIDs the disc holds in 1/ and 2/
    bool discRecorded = false;       // recorded and its number advanced: the completion message was shown
    int recordedStudies = 0;         // rows the database update changed
    int failedUpdates = 0;           // updates that failed or changed no row
    bool journalKept = false;        // updates wait in the record journal
    bool numberStored = true;        // LastMediaNr holds the number of the disc written
    std::string why;                 // why no disc was written, or what went wrong
};

class RunEvents {
public:
    virtual ~RunEvents() = default;

    // A run has begun (the run lock is held); every phase's progress is 0
    // and Start is not available until RunEnded.
    virtual void RunStarted() = 0;
    // A phase has begun; its bar and caption show from now on.
    virtual void PhaseStarted(RunPhase phase) = 0;
    // A phase's progress, 0 to kProgressMax.
    virtual void Progress(RunPhase phase, int value) = 0;
    // The status line, shown at once ("Checking drivestatus",
    // "Writing disc (42%) "; "" clears it).
    virtual void Status(const std::string& text) = 0;
    // Whether Cancel can still stop the run (not once a disc is written).
    virtual void CancelAllowed(bool allowed) = 0;
    // Asks modally and returns the answer (Answer::Ok for a message).
    virtual Answer Ask(const Question& question) = 0;
    // A small modal notice titled `title`: `onTick` is called every
    // `interval` until it returns false, then the notice closes and this
    // call returns. The drive detection wait and the notice shown while the
    // disc is out of the drive (its tray) are such notices.
    virtual void Notice(const std::string& title, const std::string& text, std::chrono::milliseconds interval,
                        const std::function<bool()>& onTick) = 0;
    // The working drive as it is to be shown ("<vendor><product> [Speed 16.1X/22160 KBs]");
    // `ready` says whether runs can start on it.
    virtual void Drive(const std::string& description, bool ready) = 0;
    // Lets the skin dispatch pending work (repaint, clicks, timers, the
    // disc writer's events). May re-enter the controller.
    virtual void Yield() = 0;
    // The run has ended, or a start was refused (outcome.couldNotStart).
    virtual void RunEnded(const RunOutcome& outcome) = 0;
};

// The lines a run's outcome adds to the completion message (CR LF between
// them): studies recorded and failed, a kept record journal, an unstored
// LastMediaNr, studies archived with unreadable files, studies larger than
// a disc. "" when there is nothing to add.
std::string OutcomeLines(const RunOutcome& outcome);

}  // namespace velunor
