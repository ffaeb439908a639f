// The window system as the core sees it.
//
// The run controller and the phases never touch widgets directly. They name a
// control of the main window and set its caption, visibility, enabled state
// or progress value through WindowSystem, ask modal questions through it, and
// yield to it inside long loops so the window repaints, Cancel can be clicked
// and the timers and disc-writer events are dispatched.
//
// Two real implementations exist: the Qt main window (app/program) and
// HeadlessWindow below, which keeps the same control state in memory and is
// what the headless runner uses. Message boxes go through a Prompter, the
// one piece tests replace.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace velunor {

// Controls of the main window that the core reads or writes. Their names are
// the Qt object names of the widgets.
enum class Control {
    lblInfo, Picture1, Frame1,
    lblSammeln, lblDicomDir, lblDVD, lblVerifyDVD, lblUpdate,
    lblCur, lblDrive,
    pbSammeln, pbDicomDir, pbDisk, pbVer, pbDB,
    cmdStarten, cmdCancel,
    mnuFile, mnuConfig, mnuQuit,
};

// The object name of a control ("lblCur", "pbDisk", ...).
std::string_view ControlName(Control c);

// Timers of the main window.
enum class Timer { TimerDVD, TimerReady, TimerWrite };

enum class Icon { None, Critical, Exclamation, Information, Question };
enum class Buttons { Ok, YesNo };
enum class Answer { Ok, Yes, No };

// Every message box of the program carries this title.
inline constexpr std::string_view kTitle = "Velunor";

// Answers modal message boxes. Implementations: a QMessageBox, a terminal
// prompt, and in tests a scripted list of answers.
class Prompter {
public:
    virtual ~Prompter() = default;
    // Shows `text` modally with the given icon and buttons, title "Velunor",
    // and returns the user's answer (Answer::Ok for a box with one button).
    virtual Answer Ask(const std::string& text, Icon icon, Buttons buttons) = 0;
};

class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // Modal message box titled "Velunor"; returns when the user closed it.
    virtual Answer MessageBox(const std::string& text, Icon icon, Buttons buttons = Buttons::Ok) = 0;

    virtual void SetCaption(Control c, const std::string& text) = 0;
    virtual std::string Caption(Control c) const = 0;
    virtual void SetVisible(Control c, bool visible) = 0;
    virtual bool IsVisible(Control c) const = 0;
    virtual void SetEnabled(Control c, bool enabled) = 0;
    virtual bool IsEnabled(Control c) const = 0;

    // Progress bars: value and maximum (minimum is always 0). A value outside
    // 0..maximum is clamped.
    virtual void SetValue(Control c, int value) = 0;
    virtual int Value(Control c) const = 0;
    virtual void SetMaximum(Control c, int maximum) = 0;
    virtual int Maximum(Control c) const = 0;

    // Repaints one control at once (a status line set before a long step).
    virtual void Repaint(Control c) = 0;

    // Lets the window system dispatch pending events: repaint, clicks,
    // timers, disc-writer events. May re-enter the core.
    virtual void Yield() = 0;

    // Shows or hides the main window (unattended mode keeps it hidden).
    virtual void ShowMainWindow(bool visible) = 0;
    virtual bool MainWindowVisible() const = 0;

    // Switches a timer of the main window on or off. A timer that is
    // switched on starts a new interval.
    virtual void SetTimerEnabled(Timer t, bool enabled) = 0;
    virtual bool TimerEnabled(Timer t) const = 0;

    // A small modal window with a title, a text and a timer: `onTick` is
    // called every `interval` until it returns false, then the window closes
    // and this call returns. Used for the drive detection wait window and
    // for the notice shown while the disc is out of the drive.
    virtual void RunModalNotice(const std::string& title, const std::string& text,
                                std::chrono::milliseconds interval,
                                const std::function<bool()>& onTick) = 0;
};

// The control state of the main window held in memory, with the initial
// captions, visibility and enabled states the window has when it opens.
struct PanelState {
    struct Item {
        std::string caption;
        bool visible = true;
        bool enabled = true;
        int value = 0;
        int maximum = 10000;
    };
    std::map<Control, Item> items;

    PanelState();
    Item& at(Control c) { return items.at(c); }
    const Item& at(Control c) const { return items.at(c); }
};

// A WindowSystem without a display: control state in memory, message boxes
// through a Prompter, modal notices ticked by `sleep` (which tests make
// instant), yielding through `onYield` (the headless runner pumps the disc
// writer there). Optional observer is told of every caption or value change.
class HeadlessWindow : public WindowSystem {
public:
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    HeadlessWindow(Prompter& prompter, Sleeper sleep);

    Answer MessageBox(const std::string& text, Icon icon, Buttons buttons = Buttons::Ok) override;
    void SetCaption(Control c, const std::string& text) override;
    std::string Caption(Control c) const override;
    void SetVisible(Control c, bool visible) override;
    bool IsVisible(Control c) const override;
    void SetEnabled(Control c, bool enabled) override;
    bool IsEnabled(Control c) const override;
    void SetValue(Control c, int value) override;
    int Value(Control c) const override;
    void SetMaximum(Control c, int maximum) override;
    int Maximum(Control c) const override;
    void Repaint(Control c) override;
    void Yield() override;
    void ShowMainWindow(bool visible) override;
    bool MainWindowVisible() const override;
    void SetTimerEnabled(Timer t, bool enabled) override;
    bool TimerEnabled(Timer t) const override;
    void RunModalNotice(const std::string& title, const std::string& text,
                        std::chrono::milliseconds interval,
                        const std::function<bool()>& onTick) override;

    // Called on every Yield(): the owner dispatches its own pending work.
    std::function<void()> onYield;
    // Called after a caption, visibility or value change of a control.
    std::function<void(Control)> onChange;

    const PanelState& panel() const { return panel_; }

private:
    Prompter& prompter_;
    Sleeper sleep_;
    PanelState panel_;
    bool mainVisible_ = false;
    std::map<Timer, bool> timers_;
};

}  // namespace velunor
