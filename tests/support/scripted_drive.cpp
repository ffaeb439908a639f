#include "tests/support/scripted_drive.hpp"

#include <algorithm>

#include "app/error.hpp"

namespace velunor::test {

namespace {
std::string B(bool v) { return v ? "1" : "0"; }
}  // namespace

int ScriptedDrive::Count(const std::string& call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

const ScriptedDrive::Drive& ScriptedDrive::at(int index) const {
    if (index < 0 || index >= static_cast<int>(drives.size()))
        throw Error(0, "no drive with index " + std::to_string(index));
    return drives[static_cast<std::size_t>(index)];
}

void ScriptedDrive::Poll() {
    if (!burning || burnScript.empty()) return;
    Step s = burnScript.front();
    burnScript.pop_front();
    switch (s.ev) {
    case Ev::Caching: if (events_.CachingProgress) events_.CachingProgress(static_cast<std::int16_t>(s.a)); break;
    case Ev::Write: if (events_.WriteProgress) events_.WriteProgress(0, s.a, s.b); break;
    case Ev::ClosingTrack: if (events_.ClosingTrack) events_.ClosingTrack(); break;
    case Ev::ClosingDisc: if (events_.ClosingDisc) events_.ClosingDisc(); break;
    case Ev::Complete:
        burning = false;
        if (events_.BurnComplete) events_.BurnComplete();
        break;
    case Ev::Error:
        burning = false;
        if (events_.WriteError) events_.WriteError(0, 0, s.message, "");
        break;
    }
}

void ScriptedDrive::NewImage() { calls.push_back("NewImage"); }
void ScriptedDrive::ScanDrives(bool asapi) { calls.push_back("ScanDrives(" + B(asapi) + ")"); }
int ScriptedDrive::DriveCount() { calls.push_back("DriveCount"); return static_cast<int>(drives.size()); }
bool ScriptedDrive::DriveCapable(int index, int code) {
    calls.push_back("DriveCapable(" + std::to_string(index) + "," + std::to_string(code) + ")");
    const Drive& d = at(index);
    return (code == kCapWritesDvdMinusR && d.cap9) || (code == kCapWritesDvdPlusR && d.cap38);
}
bool ScriptedDrive::DriveUsable(int index) {
    calls.push_back("DriveUsable(" + std::to_string(index) + ")");
    return at(index).usable;
}
std::string ScriptedDrive::DriveVendor(int index) { return at(index).vendor; }
std::string ScriptedDrive::DriveProduct(int index) { return at(index).product; }
bool ScriptedDrive::SelectDrive(int index) {
    calls.push_back("SelectDrive(" + std::to_string(index) + ")");
    if (!at(index).selectable) return false;
    selected = index;
    return true;
}
std::string ScriptedDrive::DriveLetter(int index) { return "scripted:" + std::to_string(index); }
std::int32_t ScriptedDrive::MaxWriteSpeed() { return at(selected).maxSpeed; }
void ScriptedDrive::SetWriteSpeed(std::int32_t kb) { calls.push_back("SetWriteSpeed(" + std::to_string(kb) + ")"); speed = kb; }
void ScriptedDrive::LoadTray(bool close) { calls.push_back("LoadTray(" + B(close) + ")"); }
void ScriptedDrive::AllowRemoval(bool allow) { calls.push_back("AllowRemoval(" + B(allow) + ")"); }
int ScriptedDrive::DiscStatus() {
    calls.push_back("DiscStatus");
    if (discStatus.empty()) return 0;
    int s = discStatus.front();
    discStatus.pop_front();
    return s;
}
void ScriptedDrive::Eject() { calls.push_back("Eject"); }
void ScriptedDrive::ImageOption(bool on) { calls.push_back("ImageOption(" + B(on) + ")"); }
bool ScriptedDrive::CloneDirectoryToISO(const std::string& imageDir, const std::string& pattern) {
    calls.push_back("CloneDirectoryToISO(" + imageDir + "," + pattern + ")");
    return cloneResult;
}
std::int32_t ScriptedDrive::ImageBlockCount() { return blocks; }
double ScriptedDrive::ImageBytes(std::int32_t n, int) { return n * bytesPerBlock; }
void ScriptedDrive::BurnMode(int mode) { calls.push_back("BurnMode(" + std::to_string(mode) + ")"); }
void ScriptedDrive::BurnSwitch1(bool on) { calls.push_back("BurnSwitch1(" + B(on) + ")"); }
void ScriptedDrive::BurnSwitch2(bool on) { calls.push_back("BurnSwitch2(" + B(on) + ")"); }
void ScriptedDrive::BurnSwitch3(bool on) { calls.push_back("BurnSwitch3(" + B(on) + ")"); }
void ScriptedDrive::BurnSwitch4(bool on) { calls.push_back("BurnSwitch4(" + B(on) + ")"); }
void ScriptedDrive::VolumeLabel(const std::string& l) { calls.push_back("VolumeLabel(" + l + ")"); label = l; }
bool ScriptedDrive::StartBurn() {
    calls.push_back("StartBurn");
    burning = startBurnResult;
    return startBurnResult;
}
void ScriptedDrive::AbortBurn() { calls.push_back("AbortBurn"); burning = false; }

// The scripted drive holds no medium to read back: the read-back is tested
// on images that the real writer wrote.
std::vector<DiscFile> ScriptedDrive::ListDiscFolder(const std::string& folder) {
    throw Error(0, "no medium to read the folder " + folder + " from");
}

std::vector<std::uint8_t> ScriptedDrive::ReadDiscFile(const std::string& folder, const std::string& name) {
    throw Error(0, "no medium to read " + folder + "/" + name + " from");
}

}  // namespace velunor::test
