#include "DaroriCore/CollectionHelpers.hpp"

#include <fnmatch.h>

namespace darori {

std::vector<std::string> matching(const std::vector<std::string>& names, std::string_view pattern) {
    const std::string p(pattern);
    std::vector<std::string> out;
    for (const auto& name : names) {
        if (fnmatch(p.c_str(), name.c_str(), 0) == 0) out.push_back(name);
    }
    return out;
}

}  // namespace darori
