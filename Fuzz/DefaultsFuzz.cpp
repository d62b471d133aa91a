// The defaults file as the application finds it on disk: whatever it holds, reading it never
// fails, and a value set afterwards is there for the next reader.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FuzzInput.hpp"
#include "Platform/FileDefaults.hpp"

namespace {

const std::filesystem::path& file() {
    static const std::filesystem::path path = [] {
        std::string folder = (std::filesystem::temp_directory_path() / "talkweft-defaults-fuzz-XXXXXX").string();
        if (!::mkdtemp(folder.data())) std::abort();
        return std::filesystem::path(folder) / "defaults.json";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out(file(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    {
        talkweft::platform::FileDefaults defaults(file());
        defaults.data("didSetLoginItem");
        defaults.boolValue("didSetLoginItem");
        defaults.data("settings");
        defaults.boolValue("settings");
        FUZZ_CHECK(defaults.setBool("fuzz", true));
    }
    talkweft::platform::FileDefaults reread(file());
    FUZZ_CHECK(reread.boolValue("fuzz"));
    return 0;
}
