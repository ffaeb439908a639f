// A scripted optical drive: the one disc-writer double of the test suites.
// Drives, disc status answers and the burn's events are set by the test;
// every call is recorded by name.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "disc/disc_writer.hpp"

namespace velunor::test {

class ScriptedDrive : public DiscWriter {
public:
    struct Drive {
        std::string vendor = "VENDOR";
        std::string product = "PRODUCT";
        bool cap9 = true;
        bool cap38 = false;
        bool usable = true;
        bool selectable = true;
        std::int32_t maxSpeed = 22160;
    };
    std::vector<Drive> drives;
    std::deque<int> discStatus;          // answers of DiscStatus(); 0 when empty
    bool startBurnResult = true;
    bool cloneResult = true;
    std::int32_t blocks = 1000;
    double bytesPerBlock = 2048;
    // Events that Poll() delivers, one script step per Poll() call.
    enum class Ev { Caching, Write, ClosingTrack, ClosingDisc, Complete, Error };
    struct Step {
        Ev ev;
        std::int32_t a = 0;
        std::int32_t b = 0;
        std::string message;
    };
    std::deque<Step> burnScript;

    std::vector<std::string> calls;      // "LoadTray(1)", "AllowRemoval(0)", ...
    std::string label;
    std::int32_t speed = 0;
    int selected = -1;
    bool burning = false;

    int Count(const std::string& call) const;

    void SetEvents(DiscWriterEvents events) override { events_ = std::move(events); }
    void Poll() override;
    void NewImage() override;
    void ScanDrives(bool asapi) override;
    int DriveCount() override;
    bool DriveCapable(int index, int code) override;
    bool DriveUsable(int index) override;
    std::string DriveVendor(int index) override;
    std::string DriveProduct(int index) override;
    bool SelectDrive(int index) override;
    std::string DriveLetter(int index) override;
    std::int32_t MaxWriteSpeed() override;
    void SetWriteSpeed(std::int32_t kbPerSecond) override;
    void LoadTray(bool close) override;
    void AllowRemoval(bool allow) override;
    int DiscStatus() override;
    void Eject() override;
    void ImageOption(bool on) override;
    bool CloneDirectoryToISO(const std::string& imageDir, const std::string& sourcePattern) override;
    std::int32_t ImageBlockCount() override;
    double ImageBytes(std::int32_t blocks, int unit) override;
    void BurnMode(int mode) override;
    void BurnSwitch1(bool on) override;
    void BurnSwitch2(bool on) override;
    void BurnSwitch3(bool on) override;
    void BurnSwitch4(bool on) override;
    void VolumeLabel(const std::string& label) override;
    bool StartBurn() override;
    void AbortBurn() override;
    std::string problem;   // what LastProblem() answers
    std::string LastProblem() const override { return problem; }
    bool imageStays = false;   // what WrittenImageStays() answers
    bool WrittenImageStays() const override { return imageStays; }
    std::vector<DiscFile> ListDiscFolder(const std::string& folder) override;
    std::vector<std::uint8_t> ReadDiscFile(const std::string& folder, const std::string& name) override;

private:
    const Drive& at(int index) const;
    DiscWriterEvents events_;
};

}  // namespace velunor::test
