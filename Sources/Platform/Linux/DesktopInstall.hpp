// Installing the application for the current user as a desktop application: a desktop entry in
// $XDG_DATA_HOME/applications that also handles talkweft:// links, our icon in the hicolor theme,
// and the entry made the default handler of those links in $XDG_CONFIG_HOME/mimeapps.list. The
// login item's autostart entry is written by the same writer.
#pragma once

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/DesktopEntries.hpp"

namespace talkweft::platform::linuxdesktop {

class DesktopInstallError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::string_view DESKTOP_FILE_NAME = "talkweft.desktop";
inline constexpr std::string_view URL_SCHEME_MIME_TYPE = "x-scheme-handler/talkweft";

// Where the user's desktop files live and what the entries start.
struct DesktopLocations {
    std::filesystem::path dataHome;    // $XDG_DATA_HOME, else ~/.local/share
    std::filesystem::path configHome;  // $XDG_CONFIG_HOME, else ~/.config
    std::string executable;            // absolute path of the program the entries start

    std::filesystem::path applicationEntry() const { return dataHome / "applications" / DESKTOP_FILE_NAME; }
    std::filesystem::path icon() const { return dataHome / "icons/hicolor/scalable/apps/talkweft.svg"; }
    std::filesystem::path mimeApps() const { return configHome / "mimeapps.list"; }
    std::filesystem::path autostartEntry() const { return configHome / "autostart" / DESKTOP_FILE_NAME; }
};

// The locations for this process: XDG variables that hold absolute paths, else the defaults below
// `home` ($HOME, else the user's home folder); the executable is this process's own.
DesktopLocations calcDesktopLocations(const EnvLookup& env, const std::filesystem::path& home, std::string executable);
DesktopLocations processDesktopLocations();

// The absolute path of the running executable (/proc/self/exe).
std::string currentExecutablePath();

// One argument of an Exec line: as it is when it holds no reserved character, else in double
// quotes with " ` $ \ escaped; "%" doubled either way (it starts field codes).
std::string quoteExecArgument(std::string_view argument);

// Our icon, a speech bubble with lines of text, as SVG.
std::string_view talkweftIconSVG();

// platform::writeFileAtomically, failing with DesktopInstallError naming the file and the system's
// description of the failure.
void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, unsigned mode = 0644);

// Writes the desktop entry `keys` to `file` (atomically); the one writer of our desktop files.
void writeDesktopEntryFile(const std::filesystem::path& file, const std::vector<DesktopEntryKey>& keys);

// Installs (or re-installs) the entry, the icon and the default handler; each step is reported
// through `report` as a line. What install created (folders, mimeapps.list, the group in it) is
// recorded in the entry itself, so uninstall takes out exactly that. Throws DesktopInstallError.
void installDesktopApp(const DesktopLocations& at, const std::function<void(const std::string&)>& report);

// Removes what install added: the entry, the icon, our default-handler entry in mimeapps.list
// (every other line kept), and the folders and the file install created once they are empty; also
// the login item's autostart entry (and its folder once empty), so the program is not started at
// the next login.
// Running it with nothing installed reports that and succeeds. Throws DesktopInstallError.
void uninstallDesktopApp(const DesktopLocations& at, const std::function<void(const std::string&)>& report);

}  // namespace talkweft::platform::linuxdesktop
