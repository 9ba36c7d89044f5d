#pragma once
// The settings file: a Windows INI file read and written one string at a time, with the
// semantics of the Windows profile-string calls. Section and key names match without regard
// to case; a write changes only the one value's line (or adds the line, or the section at the
// end), and every other byte of the file stays as it was. The file is opened afresh for each
// read or write.

#include <string>

namespace lumo {

// The settings file's path for an executable: its full path with the extension replaced by
// ".INI" ("/opt/lumo/UserLumo" and "C:\\lumo\\UserLumo.exe" give UserLumo.INI beside them).
std::string settingsPathFor(const std::string& executablePath);

// Where the program keeps its settings: beside the executable (settingsPathFor) when that folder
// is writable or already holds the file, so a portable copy keeps its settings with it; otherwise
// (a program installed into a system folder) <name>.INI in the folder <name> of the user's
// configuration folder, $XDG_CONFIG_HOME or ~/.config. On Windows always beside the executable.
std::string settingsLocationFor(const std::string& executablePath);

// The value of key in section, blanks around it removed and one pair of enclosing quotes
// dropped; `fallback` when the file, the section or the key is missing.
std::string readProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback);

// Writes key=value into section, creating the folder, the file or the section where missing. Returns
// false when the file cannot be written; a failed write leaves the old file intact.
bool writeProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value);

// The port name setting: section "Main", key "COM", default "COM3".
inline constexpr const char* SettingsSection = "Main";
inline constexpr const char* SettingsPortKey = "COM";
inline constexpr const char* SettingsPortDefault = "COM3";
// Which spreadsheet application serves the report: "Excel", "Builtin" or "Auto".
inline constexpr const char* SettingsReportKey = "Report";
inline constexpr const char* SettingsReportDefault = "Auto";
// Where the site's power flows, for the wiring check: "Consumption", "Generation" or "Both"
// (wiring::siteName); anything else reads as the default.
inline constexpr const char* SettingsSiteKey = "Site";
inline constexpr const char* SettingsSiteDefault = "Consumption";

// The protocol's form: section "Protocol", the object, the connection and the operator's name.
inline constexpr const char* ProtocolSection = "Protocol";
inline constexpr const char* ProtocolObjectKey = "Object";
inline constexpr const char* ProtocolConnectionKey = "Connection";
inline constexpr const char* ProtocolOperatorKey = "Operator";

}  // namespace lumo
