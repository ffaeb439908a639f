#include "app/window_system.hpp"

#include <algorithm>

namespace velunor {

std::string_view ControlName(Control c) {
    switch (c) {
    case Control::lblInfo: return "lblInfo";
    case Control::Picture1: return "Picture1";
    case Control::Frame1: return "Frame1";
    case Control::lblSammeln: return "lblSammeln";
    case Control::lblDicomDir: return "lblDicomDir";
    case Control::lblDVD: return "lblDVD";
    case Control::lblVerifyDVD: return "lblVerifyDVD";
    case Control::lblUpdate: return "lblUpdate";
    case Control::lblCur: return "lblCur";
    case Control::lblDrive: return "lblDrive";
    case Control::pbSammeln: return "pbSammeln";
    case Control::pbDicomDir: return "pbDicomDir";
    case Control::pbDisk: return "pbDisk";
    case Control::pbVer: return "pbVer";
    case Control::pbDB: return "pbDB";
    case Control::cmdStarten: return "cmdStarten";
    case Control::cmdCancel: return "cmdCancel";
    case Control::mnuFile: return "mnuFile";
    case Control::mnuConfig: return "mnuConfig";
    case Control::mnuQuit: return "mnuQuit";
    }
    return "";
}

PanelState::PanelState() {
    auto add = [&](Control c, std::string caption, bool visible = true, bool enabled = true) {
        Item item;
        item.caption = std::move(caption);
        item.visible = visible;
        item.enabled = enabled;
        items[c] = item;
    };
    add(Control::lblInfo, "");
    add(Control::Picture1, "");
    add(Control::Frame1, "");
    add(Control::lblSammeln, "Gathering data", false);
    add(Control::lblDicomDir, "Create dicomdir", false);
    add(Control::lblDVD, "Create DVD", false);
    add(Control::lblVerifyDVD, "Verify DVD", false);
    add(Control::lblUpdate, "Update database", false);
    add(Control::lblCur, "");
    add(Control::lblDrive, "Drive informations:");
    for (Control pb : {Control::pbSammeln, Control::pbDicomDir, Control::pbDisk, Control::pbVer, Control::pbDB})
        add(pb, "");
    add(Control::cmdStarten, "Start", true, false);
    add(Control::cmdCancel, "Cancel");
    add(Control::mnuFile, "File");
    add(Control::mnuConfig, "Configure");
    add(Control::mnuQuit, "Quit");
}

HeadlessWindow::HeadlessWindow(Prompter& prompter, Sleeper sleep) : prompter_(prompter), sleep_(std::move(sleep)) {
    timers_[Timer::TimerDVD] = false;
    timers_[Timer::TimerReady] = false;
    timers_[Timer::TimerWrite] = false;
}

Answer HeadlessWindow::MessageBox(const std::string& text, Icon icon, Buttons buttons) {
    return prompter_.Ask(text, icon, buttons);
}

void HeadlessWindow::SetCaption(Control c, const std::string& text) {
    panel_.at(c).caption = text;
    if (onChange) onChange(c);
}
std::string HeadlessWindow::Caption(Control c) const { return panel_.at(c).caption; }
void HeadlessWindow::SetVisible(Control c, bool visible) {
    panel_.at(c).visible = visible;
    if (onChange) onChange(c);
}
bool HeadlessWindow::IsVisible(Control c) const { return panel_.at(c).visible; }
void HeadlessWindow::SetEnabled(Control c, bool enabled) { panel_.at(c).enabled = enabled; }
bool HeadlessWindow::IsEnabled(Control c) const { return panel_.at(c).enabled; }
void HeadlessWindow::SetValue(Control c, int value) {
    auto& item = panel_.at(c);
    item.value = std::clamp(value, 0, std::max(item.maximum, 0));
    if (onChange) onChange(c);
}
int HeadlessWindow::Value(Control c) const { return panel_.at(c).value; }
void HeadlessWindow::SetMaximum(Control c, int maximum) {
    auto& item = panel_.at(c);
    item.maximum = std::max(maximum, 0);
    item.value = std::min(item.value, item.maximum);
    if (onChange) onChange(c);
}
int HeadlessWindow::Maximum(Control c) const { return panel_.at(c).maximum; }
void HeadlessWindow::Repaint(Control) {}
void HeadlessWindow::Yield() {
    if (onYield) onYield();
}
void HeadlessWindow::ShowMainWindow(bool visible) { mainVisible_ = visible; }
bool HeadlessWindow::MainWindowVisible() const { return mainVisible_; }
void HeadlessWindow::SetTimerEnabled(Timer t, bool enabled) { timers_[t] = enabled; }
bool HeadlessWindow::TimerEnabled(Timer t) const { return timers_.at(t); }

void HeadlessWindow::RunModalNotice(const std::string&, const std::string&, std::chrono::milliseconds interval,
                                    const std::function<bool()>& onTick) {
    // A notice closes itself after a few ticks; the bound keeps a faulty
    // callback from hanging a headless run.
    for (int tick = 0; tick < 10000; ++tick) {
        if (sleep_) sleep_(interval);
        Yield();
        if (!onTick()) return;
    }
}

}  // namespace velunor
