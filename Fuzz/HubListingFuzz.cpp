// The hub's repository listing document and the glob selection over its names.
#include <cstddef>
#include <cstdint>
#include <string>

#include "DaroriCore/CollectionHelpers.hpp"
#include "DaroriCore/External/Hub/HubApi.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const auto listing = darori::HubApi::SiblingsResponse::decode(nlohmann::ordered_json::parse(text));
        std::vector<std::string> names;
        for (const auto& s : listing.siblings) {
            names.push_back(s.rfilename);
            (void)darori::HubApi::isSafeRelativePath(s.rfilename);
        }
        (void)darori::matching(names, "*.json");
        (void)listing.encode().dump();
    } catch (const nlohmann::ordered_json::exception&) {
    }
    return 0;
}
