// The per-user settings store: text values kept by application, section and key.
//
// This is where a program keeps small per-user preferences when it has no database of its own
// (window rectangles, the last folder a file browser showed). Names compare without regard to
// case, as the platform's registry does; values are 8-bit texts kept byte for byte. The store is
// one file under the platform root ($LUMAREL_ROOT/registry/settings.txt), written whole through
// a temporary file and a rename under a file lock, so several processes may use it at once and
// a crash never leaves half a file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace registry {

// The value under (appName, section, key), or `defaultValue` when there is none. A stored empty
// text is returned as it stands.
std::string GetSetting(const std::string& appName, const std::string& section, const std::string& key,
                       const std::string& defaultValue = "");

// Stores a value, replacing any earlier one. An empty application, section or key raises run-time
// error 5 (invalid procedure call) and stores nothing.
void SaveSetting(const std::string& appName, const std::string& section, const std::string& key,
                 const std::string& value);

// Removes one key, or the whole section when `key` is empty. Removing what is not there does
// nothing.
void DeleteSetting(const std::string& appName, const std::string& section, const std::string& key = "");

// Every key and value of a section, in the order they were first stored.
std::vector<std::pair<std::string, std::string>> GetAllSettings(const std::string& appName,
                                                                const std::string& section);

// The file that holds the store (for messages and tests).
std::string SettingsFilePath();

// The settings file's form (its reader and writer). One entry a line, four fields separated by
// tabs, with tab, line feed, carriage return and the backslash escaped inside a field. A line
// of another field count is not this version's: it is kept as it stands and written back.
struct SettingsEntry {
    std::string app, section, key, value;
};
struct SettingsLine {
    std::optional<SettingsEntry> entry;
    std::string raw;  // the line as stored, when it is no entry
};
std::vector<SettingsLine> ParseSettings(std::string_view text);
std::string FormatSettings(const std::vector<SettingsLine>& lines);

}  // namespace registry
