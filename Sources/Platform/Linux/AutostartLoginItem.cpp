#include "Platform/Linux/AutostartLoginItem.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace talkweft::platform::linuxdesktop {

namespace fs = std::filesystem;

AutostartLoginItem::AutostartLoginItem() : at_(processDesktopLocations()) {}

AutostartLoginItem::AutostartLoginItem(DesktopLocations at) : at_(std::move(at)) {}

void AutostartLoginItem::registerApp() {
    if (at_.executable.empty() || at_.executable.front() != '/')
        throw LoginItemError("cannot tell where this program is (no absolute path for it)");
    const fs::path folder = at_.autostartEntry().parent_path();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw LoginItemError("cannot create " + folder.string() + ": " + ec.message());
    try {
        writeDesktopEntryFile(at_.autostartEntry(), {
                                                        {"Type", "Application"},
                                                        {"Version", "1.5"},
                                                        {"Name", "Talkweft"},
                                                        {"Comment", "Hold-to-talk dictation, started at login"},
                                                        {"Exec", quoteExecArgument(at_.executable)},
                                                        {"Icon", "talkweft"},
                                                        {"Terminal", "false"},
                                                        {"StartupNotify", "false"},
                                                    });
    } catch (const DesktopInstallError& e) {
        throw LoginItemError(e.what());
    }
}

void AutostartLoginItem::unregisterApp() {
    const fs::path file = at_.autostartEntry();
    if (::unlink(file.c_str()) != 0 && errno != ENOENT)
        throw LoginItemError("cannot remove " + file.string() + ": " + std::strerror(errno));
}

bool AutostartLoginItem::isRegistered() {
    const auto keys = readDesktopEntryFile(at_.autostartEntry());
    if (!keys) return false;
    for (const auto& [key, value] : *keys)
        if (key == "Hidden" && value == "true") return false;
    return true;
}

}  // namespace talkweft::platform::linuxdesktop
