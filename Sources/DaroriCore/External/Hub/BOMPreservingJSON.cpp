#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"

namespace darori {

nlohmann::ordered_json bomPreservingJsonObject(std::string_view bytes) {
    return nlohmann::ordered_json::parse(bytes.begin(), bytes.end());
}

}  // namespace darori
