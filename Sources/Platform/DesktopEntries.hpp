// The installed applications of a Linux desktop, as their desktop entries (".desktop" files in the
// "applications" folders of the XDG data folders) describe them. An application's id is its
// desktop-entry id without the ".desktop" ending ("org.gnome.TextEditor"); this is the "bundle
// identifier" the per-app settings store.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/XdgFolders.hpp"

namespace talkweft::platform {

struct DesktopEntry {
    std::string id;
    std::string name;         // the untranslated Name
    bool application = false;  // Type=Application
    bool noDisplay = false;    // NoDisplay=true: not for menus
    bool hidden = false;       // Hidden=true: the entry counts as deleted
    std::string startupWMClass;     // StartupWMClass: the WM_CLASS of the app's windows

    bool operator==(const DesktopEntry&) const = default;
};

// One key of a desktop entry's group, its value unescaped.
struct DesktopEntryKey {
    std::string key;
    std::string value;

    bool operator==(const DesktopEntryKey&) const = default;
};

// The keys of the first [Desktop Entry] group of a desktop file's text, in the order written (a
// key written twice appears twice); comments and lines without "=" are skipped, the escapes
// \s \n \t \r \\ of values decoded. Absent when the text has no such group.
std::optional<std::vector<DesktopEntryKey>> readDesktopEntryKeys(std::string_view text);

// The keys of the [Desktop Entry] group of the desktop file `file`; absent when the file is missing,
// unreadable, implausibly large or has no such group.
std::optional<std::vector<DesktopEntryKey>> readDesktopEntryFile(const std::filesystem::path& file);

// The text of a desktop file with one [Desktop Entry] group of `keys` in order, each value escaped
// (\\ \n \t \r, and \s for a blank at either end) so that readDesktopEntryKeys gives it back.
// Keys are written as given.
std::string formatDesktopEntry(const std::vector<DesktopEntryKey>& keys);

// Reads the [Desktop Entry] group of a desktop file's text: Type, Name (the untranslated one),
// StartupWMClass, NoDisplay and Hidden; other groups and keys, comments and malformed lines are skipped; the
// escapes \s \n \t \r \\ of string values are decoded. Absent when the text has no such group or
// the group has no Name.
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string id);

// The id of the desktop file at `relative` below an applications folder: the folders joined by
// "-", without the ".desktop" ending ("kde/org.kde.kate.desktop" -> "kde-org.kde.kate"). Empty
// when the name does not end in ".desktop".
std::string calcDesktopEntryID(const std::filesystem::path& relative);

// The applications folders in order of precedence: $XDG_DATA_HOME (else ~/.local/share), then each
// of $XDG_DATA_DIRS (else /usr/local/share:/usr/share), each + "/applications". Relative entries
// are ignored.
std::vector<std::filesystem::path> calcApplicationDirs(const EnvLookup& env, const std::filesystem::path& home);

// Every entry below `dirs`; where two folders hold the same id the earlier folder's entry wins
// (also a hidden one, which hides the later). Sorted by name, ignoring case, then by id. Unreadable
// folders and files are skipped. Blocks on the disk.
std::vector<DesktopEntry> listDesktopEntries(const std::vector<std::filesystem::path>& dirs);

// The applications a user can pick: the listed entries that are applications, shown in menus and
// not hidden.
std::vector<DesktopEntry> listPickableApps(const std::vector<std::filesystem::path>& dirs);

// The name of the installed application `id`: the entry "<id>.desktop" of the first folder that
// has one, unless hidden; absent when none. Blocks on the disk (a few file reads).
std::optional<std::string> findAppName(const std::vector<std::filesystem::path>& dirs, std::string_view id);

}  // namespace talkweft::platform
