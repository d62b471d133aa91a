// The folders taken from the environment (XDG base folders, TMPDIR), whatever a session exports:
// every folder the application derives is absolute, whatever the variables hold (relative or empty
// values fall back to the home-based defaults), and the data folders keep their order of precedence.
#include <filesystem>
#include <map>
#include <string>

#include "FuzzInput.hpp"
#include "Platform/XdgFolders.hpp"
#include "Talkweft/Paths.hpp"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const NAMES[] = {"XDG_DATA_HOME",   "XDG_STATE_HOME", "XDG_CONFIG_HOME",
                                        "XDG_RUNTIME_DIR", "TMPDIR",         "XDG_DATA_DIRS"};
    constexpr std::size_t COUNT = sizeof NAMES / sizeof *NAMES;
    const auto parts = fuzz::splitInput(fuzz::asText(data, size), COUNT + 1);
    // A part starting with 0x01 stands for an unset variable.
    std::map<std::string, std::string> values;
    for (std::size_t i = 0; i < COUNT; ++i)
        if (parts[i].empty() || parts[i][0] != '\x01') values[NAMES[i]] = std::string(parts[i]);
    const auto env = [&](const char* name) -> std::optional<std::string> {
        const auto it = values.find(name);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
    const fs::path home = "/home/fuzz";

    const auto folders = talkweft::calcFolders(env, home, 1000);
    for (const fs::path* p : {&folders.support, &folders.history, &folders.models, &folders.work, &folders.logFile,
                              &folders.defaultsFile, &folders.screenshots})
        FUZZ_CHECK(p->is_absolute());
    FUZZ_CHECK(folders.logFile.filename() == "talkweft.log");
    FUZZ_CHECK(folders.defaultsFile.filename() == "defaults.json");
    FUZZ_CHECK(folders.screenshots.filename() == "screenshots");

    const auto dataDirs = talkweft::platform::calcXdgDataDirs(env, home);
    FUZZ_CHECK(!dataDirs.empty());
    for (const fs::path& dir : dataDirs) FUZZ_CHECK(dir.is_absolute());
    FUZZ_CHECK(dataDirs.front() == talkweft::platform::calcXdgHome(env, "XDG_DATA_HOME", home / ".local/share"));
    return 0;
}
