#include "Platform/Linux/DesktopInstall.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "Platform/AtomicFile.hpp"
#include "Platform/Linux/MimeApps.hpp"

namespace talkweft::platform::linuxdesktop {

namespace fs = std::filesystem;

namespace desktopinstall {

// Keys of our entry that record what install created, for uninstall.
constexpr const char* CREATED_KEY = "X-Talkweft-Created";              // folders and files, a list
constexpr const char* CREATED_GROUP_KEY = "X-Talkweft-Created-Group";  // "true": the mimeapps.list group

constexpr std::string_view ICON_SVG = R"(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <path d="M14 8h36a8 8 0 0 1 8 8v22a8 8 0 0 1-8 8H29l-13 10v-10h-2a8 8 0 0 1-8-8V16a8 8 0 0 1 8-8z"
        fill="#2f6fdf" stroke="#1d4fa8" stroke-width="2" stroke-linejoin="round"/>
  <g stroke="#ffffff" stroke-width="4" stroke-linecap="round">
    <line x1="17" y1="19" x2="47" y2="19"/>
    <line x1="17" y1="27" x2="42" y2="27"/>
    <line x1="17" y1="35" x2="34" y2="35"/>
  </g>
</svg>
)";

std::string systemError(const std::string& what, const fs::path& path, int error) {
    return what + " " + path.string() + ": " + std::strerror(error);
}

// The file's bytes, or absent when it does not exist. Throws DesktopInstallError when it exists
// but cannot be read.
std::optional<std::string> readExisting(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const int error = errno;
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(file, ec))) return std::nullopt;
        throw DesktopInstallError(systemError("cannot read", file, error ? error : EIO));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

unsigned existingMode(const fs::path& file, unsigned fallback) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : fallback;
}

// Creates `dir` and its missing parents, adding each folder it made to `created` (outermost first).
void makeFolders(const fs::path& dir, std::vector<fs::path>& created) {
    std::vector<fs::path> missing;
    for (fs::path at = dir; !at.empty() && at != at.root_path(); at = at.parent_path()) {
        std::error_code ec;
        if (fs::exists(at, ec)) break;
        missing.push_back(at);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0755) != 0 && errno != EEXIST) throw DesktopInstallError(systemError("cannot create", *it, errno));
        created.push_back(*it);
    }
}

// A desktop-entry string list: ";" ends each item, "\;" stands for a ";" inside one.
std::string joinList(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        for (char c : item) {
            if (c == ';') out += '\\';
            out += c;
        }
        out += ';';
    }
    return out;
}

std::vector<std::string> splitList(std::string_view list) {
    std::vector<std::string> items;
    std::string item;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == '\\' && i + 1 < list.size() && list[i + 1] == ';') {
            item += ';';
            ++i;
        } else if (list[i] == ';') {
            items.push_back(std::move(item));
            item.clear();
        } else {
            item += list[i];
        }
    }
    if (!item.empty()) items.push_back(std::move(item));
    return items;
}

// What an earlier install recorded in the entry.
struct Record {
    std::vector<std::string> created;
    bool createdGroup = false;
};

Record readRecord(const fs::path& entry) {
    Record record;
    for (const auto& [key, value] : readDesktopEntryFile(entry).value_or(std::vector<DesktopEntryKey>{})) {
        if (key == CREATED_KEY) record.created = splitList(value);
        if (key == CREATED_GROUP_KEY) record.createdGroup = value == "true";
    }
    return record;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// Removes `file` when it exists; true when it did.
bool removeFile(const fs::path& file) {
    if (::unlink(file.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    throw DesktopInstallError(systemError("cannot remove", file, errno));
}

// Removes each of `folders` that is an empty folder, the deepest first; returns those removed.
std::vector<fs::path> removeEmptyFolders(std::vector<fs::path> folders) {
    std::sort(folders.begin(), folders.end(), [](const fs::path& a, const fs::path& b) { return a.string().size() > b.string().size(); });
    std::vector<fs::path> removed;
    for (const auto& dir : folders)
        if (::rmdir(dir.c_str()) == 0) removed.push_back(dir);
    return removed;
}

}  // namespace desktopinstall

DesktopLocations calcDesktopLocations(const EnvLookup& env, const fs::path& home, std::string executable) {
    DesktopLocations at;
    at.dataHome = calcXdgHome(env, "XDG_DATA_HOME", home / ".local/share");
    at.configHome = calcXdgHome(env, "XDG_CONFIG_HOME", home / ".config");
    at.executable = std::move(executable);
    return at;
}

DesktopLocations processDesktopLocations() {
    return calcDesktopLocations(processEnvironment, processHome(), currentExecutablePath());
}

std::string currentExecutablePath() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

std::string quoteExecArgument(std::string_view argument) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = argument.empty() || argument.find_first_of(reserved) != std::string_view::npos;
    std::string out = quote ? "\"" : "";
    for (char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
        out += c;
        if (c == '%') out += '%';
    }
    if (quote) out += '"';
    return out;
}

std::string_view talkweftIconSVG() { return desktopinstall::ICON_SVG; }

void writeFileAtomically(const fs::path& file, std::string_view bytes, unsigned mode) {
    // The temporary file is hidden and lacks the ".desktop" ending: no one reads it as an entry.
    try {
        platform::writeFileAtomically(file, bytes, mode);
    } catch (const std::system_error& e) {
        throw DesktopInstallError(desktopinstall::systemError("cannot write", file, e.code().value()));
    }
}

void writeDesktopEntryFile(const fs::path& file, const std::vector<DesktopEntryKey>& keys) {
    writeFileAtomically(file, formatDesktopEntry(keys));
}

void installDesktopApp(const DesktopLocations& at, const std::function<void(const std::string&)>& report) {
    using namespace desktopinstall;
    if (at.executable.empty() || at.executable.front() != '/')
        throw DesktopInstallError("cannot tell where this program is (no absolute path for it)");
    Record record = readRecord(at.applicationEntry());
    std::vector<fs::path> created;
    const bool iconExisted = fs::exists(at.icon());
    const bool entryExisted = fs::exists(at.applicationEntry());
    std::optional<std::string> mimeBefore;
    bool mimeWritten = false;
    try {
        makeFolders(at.icon().parent_path(), created);
        writeFileAtomically(at.icon(), talkweftIconSVG());
        report("wrote the icon " + at.icon().string());

        makeFolders(at.configHome, created);
        mimeBefore = readExisting(at.mimeApps());
        const MimeAppsEdit edit = addDefaultApplication(mimeBefore.value_or(""), URL_SCHEME_MIME_TYPE, DESKTOP_FILE_NAME);
        if (edit.changed) {
            writeFileAtomically(at.mimeApps(), edit.text, existingMode(at.mimeApps(), 0644));
            mimeWritten = true;
            if (!mimeBefore) created.push_back(at.mimeApps());
            report("made " + std::string(DESKTOP_FILE_NAME) + " the handler of talkweft:// links in " + at.mimeApps().string());
        } else {
            report(std::string(DESKTOP_FILE_NAME) + " already handles talkweft:// links in " + at.mimeApps().string());
        }
        record.createdGroup = record.createdGroup || edit.addedGroup;

        makeFolders(at.applicationEntry().parent_path(), created);
        for (const auto& path : created)
            if (!contains(record.created, path.string())) record.created.push_back(path.string());
        std::vector<DesktopEntryKey> keys = {
            {"Type", "Application"},
            {"Version", "1.5"},
            {"Name", "Talkweft"},
            {"GenericName", "Voice Dictation"},
            {"Comment", "Hold a chord of modifier keys and speak: dictation, or an instruction for a coding agent"},
            {"Exec", quoteExecArgument(at.executable) + " %u"},
            {"Icon", "talkweft"},
            {"Terminal", "false"},
            {"Categories", "Utility;Accessibility;"},
            {"Keywords", "dictation;speech;voice;transcription;"},
            {"MimeType", std::string(URL_SCHEME_MIME_TYPE) + ";"},
            {"StartupNotify", "false"},
            {CREATED_KEY, joinList(record.created)},
        };
        if (record.createdGroup) keys.push_back({CREATED_GROUP_KEY, "true"});
        writeDesktopEntryFile(at.applicationEntry(), keys);
        report("wrote the desktop entry " + at.applicationEntry().string());
    } catch (const DesktopInstallError&) {
        // Take back what this run added, so a failed install leaves nothing half done.
        std::error_code ec;
        if (mimeWritten) {
            if (mimeBefore)
                writeFileAtomically(at.mimeApps(), *mimeBefore, existingMode(at.mimeApps(), 0644));
            else
                fs::remove(at.mimeApps(), ec);
        }
        if (!iconExisted) fs::remove(at.icon(), ec);
        if (!entryExisted) fs::remove(at.applicationEntry(), ec);
        removeEmptyFolders(created);
        throw;
    }
}

void uninstallDesktopApp(const DesktopLocations& at, const std::function<void(const std::string&)>& report) {
    using namespace desktopinstall;
    const Record record = readRecord(at.applicationEntry());
    bool any = false;
    // mimeapps.list first: the record it needs lives in the entry removed next.
    if (auto text = readExisting(at.mimeApps())) {
        const MimeAppsEdit edit = removeDefaultApplication(*text, URL_SCHEME_MIME_TYPE, DESKTOP_FILE_NAME, record.createdGroup);
        if (edit.changed && edit.text.empty() && contains(record.created, at.mimeApps().string())) {
            removeFile(at.mimeApps());
            report("removed " + at.mimeApps().string());
            any = true;
        } else if (edit.changed) {
            writeFileAtomically(at.mimeApps(), edit.text, existingMode(at.mimeApps(), 0644));
            report("removed the handler of talkweft:// links from " + at.mimeApps().string());
            any = true;
        }
    }
    for (const fs::path& file : {at.applicationEntry(), at.icon()}) {
        if (removeFile(file)) {
            report("removed " + file.string());
            any = true;
        }
    }
    // The login item goes too: an uninstalled program must not be started at the next login. Its
    // folder goes when nothing else is left in it.
    if (removeFile(at.autostartEntry())) {
        report("removed " + at.autostartEntry().string() + " (talkweft no longer starts at login)");
        any = true;
    }
    std::vector<fs::path> folders{at.autostartEntry().parent_path()};
    for (const auto& path : record.created)
        if (path != at.mimeApps().string()) folders.emplace_back(path);
    for (const auto& dir : removeEmptyFolders(folders)) {
        report("removed the empty folder " + dir.string());
        any = true;
    }
    if (!any) report("nothing to remove: talkweft is not installed for this user");
}

}  // namespace talkweft::platform::linuxdesktop
