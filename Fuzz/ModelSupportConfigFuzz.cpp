// The model-support table is downloaded from a model repository: any text must decode or fail with
// DecodingError; a decoded table answers device lookups, no row disables a model it supports, and
// the table encodes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ZadezarIro/Core/ModelSupportConfig.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zadezariro;
    const Json j = Json::parse(data, data + size, nullptr, false);
    if (j.is_discarded()) return 0;
    try {
        const auto table = ModelSupportConfig::fromJSON(j);
        for (const char* device : {"Mac14,2", "iPad14,10", "", "arm64"}) (void)table.modelSupport(device);
        for (const auto& row : table.deviceSupports())
            for (const auto& model : row.models.disabled)
                if (std::find(row.models.supported.begin(), row.models.supported.end(), model) != row.models.supported.end())
                    std::abort();
        (void)table.toJSON().dump();
    } catch (const DecodingError&) {
    }
    return 0;
}
