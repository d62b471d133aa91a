// HEAD response headers read into a file's remote identity: etag forms, sizes, locations.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "DaroriCore/External/Hub/HubApi.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    darori::HTTPResponse response;
    response.statusCode = text.empty() ? 200 : 200 + (static_cast<unsigned char>(text[0]) % 3) * 51;  // 200, 251, 302
    response.url = "https://hub.example/owner/repo/resolve/main/file.bin";
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) response.headers.add(std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    const auto meta = darori::HubApi::fileMetadata(response, response.url);
    try {
        (void)darori::URLText::parse(meta.location);
        (void)darori::URLText::replacingPathAndQuery(response.url, meta.location);
    } catch (const darori::URLError&) {
    }
    (void)darori::URLText::lastPathComponent(meta.location);
    if (meta.etag) (void)darori::HubApi::matchesPattern("^[0-9a-f]{64}$", *meta.etag);
    return 0;
}
