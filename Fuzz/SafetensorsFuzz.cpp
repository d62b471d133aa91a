// The safetensors header reader on arbitrary bytes: it returns only tensors whose data lies inside
// the input and matches their shape and type, or throws mlruntime::Error, never anything else.
#include "FuzzInput.hpp"
#include "MLRuntime/DataType.hpp"
#include "MLRuntime/Error.hpp"
#include "MLRuntime/Safetensors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const auto tensors = mlruntime::SafetensorsFile::parse(data, size, "fuzz.safetensors");
        uint64_t headerLength = 0;
        for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | data[i];
        for (const auto& [name, tensor] : tensors) {
            uint64_t count = 1;
            for (auto d : tensor.shape) count *= static_cast<uint64_t>(d);
            FUZZ_CHECK(tensor.byteCount == count * mlruntime::traits(tensor.dataType).size);
            FUZZ_CHECK(8 + headerLength + tensor.begin + tensor.byteCount <= size);
        }
    } catch (const mlruntime::Error&) {
    }
    return 0;
}
