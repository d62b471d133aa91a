// Configuration files come from model repositories. Any bytes read straight into a Config must give
// what the ordered-tree route gives: the same value, the same dictionary order, the same error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"
#include "DaroriCore/External/Hub/Config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::optional<darori::Config> viaTree, direct;
    std::string treeError, directError;
    try {
        viaTree = darori::Config::convertToBinaryDistinctKeys(darori::bomPreservingJsonObject(bytes));
    } catch (const nlohmann::ordered_json::exception& e) {
        treeError = std::string(typeid(e).name()) + e.what();
    }
    try {
        direct = darori::bomPreservingConfig(bytes);
    } catch (const nlohmann::ordered_json::exception& e) {
        directError = std::string(typeid(e).name()) + e.what();
    }
    if (treeError != directError || viaTree.has_value() != direct.has_value()) std::abort();
    if (direct && (!(*direct == *viaTree) || direct->description() != viaTree->description())) std::abort();
    return 0;
}
