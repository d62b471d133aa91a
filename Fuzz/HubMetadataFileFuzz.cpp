// The cache's metadata files (commit, etag, time): read back from disk, malformed ones deleted.
#include <cstddef>
#include <cstdint>
#include <fstream>

#include <unistd.h>

#include "DaroriCore/External/Hub/HubApi.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("hub-metadata-fuzz-" + std::to_string(getpid())) / "f.bin.metadata";
    std::filesystem::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    darori::HubApi hub;
    try {
        (void)hub.readDownloadMetadata(file);
    } catch (const darori::HubEnvironmentError&) {
    }
    return 0;
}
