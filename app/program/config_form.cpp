#include "app/program/config_form.hpp"

namespace velunor {

ConfigForm FormFromSettings(const Settings& s) {
    ConfigForm f;
    f.Server = s.Server;
    f.ServerType = s.ServerType;
    f.TempPath = s.TempPath;
    f.MSGDVDInsert = s.MSGDVDInsert;
    f.MSGDVDName = s.MSGDVDName;
    f.Archive = s.Archive != 0;
    f.DVDSpeed = std::to_string(s.DVDSpeed);
    f.AuthBurn = s.AuthBurn != 0;
    f.ASAPI = s.ASAPI != 0;
    f.ImageFolder = s.ImageFolder;
    f.MediaProfile = s.ProfileProblem.empty() ? MediaProfileName(s.Profile) : s.ProfileText;
    return f;
}

void SaveConfigForm(const ConfigForm& f, const std::filesystem::path& ini) {
    auto put = [&](const char* key, const std::string& value) { WriteIniValue("CONFIG", key, value, ini); };
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    put("Server", f.Server);
    put("ServerType", f.ServerType);
    put("TempPath", f.TempPath);
    put("MSGDVDInsert", EncodeLineBreaks(f.MSGDVDInsert));
    put("MSGDVDName", EncodeLineBreaks(f.MSGDVDName));
    // Single-line keys: a pasted line break would split the INI line.
    put("DVDSpeed", EncodeLineBreaks(f.DVDSpeed));
    put("Archive", flag(f.Archive));
    put("ASAPI", flag(f.ASAPI));
    put("AuthBurn", flag(f.AuthBurn));
    put("ImageFolder", EncodeLineBreaks(f.ImageFolder));
    put("MediaProfile", EncodeLineBreaks(f.MediaProfile));
}

std::string FolderWithSeparator(const std::string& folder) {
    if (folder.empty() || folder.back() == '/') return folder;
    return folder + "/";
}

}  // namespace velunor
