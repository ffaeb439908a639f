// What the configuration dialog shows and saves, without the widgets.
#pragma once

#include <filesystem>
#include <string>

#include "app/settings.hpp"

namespace velunor {

struct ConfigForm {
    std::string Server;
    std::string ServerType;
    std::string TempPath;
    std::string MSGDVDInsert;   // line breaks as typed
    std::string MSGDVDName;
    std::string DVDSpeed;       // as typed, not validated
    bool Archive = false;
    bool ASAPI = false;
    bool AuthBurn = false;
    std::string ImageFolder;
    // MediaProfile as velunor.ini has it: "archive" when missing, and a
    // value that names no profile as it is, so that saving the dialog never
    // turns it into a profile nobody chose.
    std::string MediaProfile = "archive";
};

// The form filled from the process-wide settings (not from the file).
ConfigForm FormFromSettings(const Settings& s);

// Writes every key of the form into section CONFIG of `iniFile`, in the
// dialog's order, message line breaks encoded as ";". Throws velunor::Error
// when a key cannot be written; keys written before keep their new values.
void SaveConfigForm(const ConfigForm& form, const std::filesystem::path& iniFile);

// A folder chosen in the picker as it goes into a text box: with "/"
// appended unless it ends in one; empty (cancelled) stays empty.
std::string FolderWithSeparator(const std::string& folder);

}  // namespace velunor
