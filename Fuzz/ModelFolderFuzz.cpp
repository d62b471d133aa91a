// The model-folder loader on an arbitrary "model.json" and "weights.bin": it loads or throws
// mlruntime::Error, never anything else. Input: model.json, NUL, weights.bin.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FuzzInput.hpp"
#include "MLRuntime/Error.hpp"
#include "MLRuntime/Model.hpp"

namespace {

const std::filesystem::path& folder() {
    static const std::filesystem::path path = [] {
        std::string root = (std::filesystem::temp_directory_path() / "talkweft-model-fuzz-XXXXXX").string();
        if (!::mkdtemp(root.data())) std::abort();
        const auto model = std::filesystem::path(root) / "Fuzz.mlmodelc";
        std::filesystem::create_directory(model);
        return model;
    }();
    return path;
}

void write(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzz::splitInput(fuzz::asText(data, size), 2);
    write(folder() / "model.json", parts[0]);
    write(folder() / "weights.bin", parts[1]);
    try {
        const auto model = mlruntime::Model::load(folder(), mlruntime::ComputeUnits::cpuOnly);
        FUZZ_CHECK(model != nullptr);
        model->description();
    } catch (const mlruntime::Error&) {
    }
    return 0;
}
