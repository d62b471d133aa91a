// A whole checkpoint import (config files, weights, tokenizer files) from a damaged checkpoint. A
// small valid checkpoint is written once; each input is a list of edits to its files (overwrite
// bytes at an offset, cut the file short, or delete it). The import either succeeds and leaves a
// complete model folder, or throws mlruntime::Error and leaves the folder it would replace exactly
// as it was, with nothing else beside it.
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "FuzzInput.hpp"
#include "MLRuntime/Error.hpp"
#include "MLRuntime/WhisperCheckpoint.hpp"
#include "MLRuntime/WhisperTestModels.hpp"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Workspace {
    fs::path root;
    std::map<std::string, std::string> pristine;  // file name -> bytes of the valid checkpoint
};

const Workspace& workspace() {
    static const Workspace w = [] {
        Workspace w;
        w.root = fs::temp_directory_path() / ("checkpoint-import-fuzz-" + std::to_string(getpid()));
        fs::remove_all(w.root);
        mlruntime::testmodels::CheckpointOptions options;
        options.size = {"fuzz", 80, 8, 2, 1, 16};
        options.textContext = 8;
        options.weightType = mlruntime::DataType::Float16;
        options.shards = 2;
        mlruntime::testmodels::writeCheckpoint(w.root / "pristine", options);
        for (const auto& entry : fs::directory_iterator(w.root / "pristine"))
            w.pristine[entry.path().filename().string()] = readFile(entry.path());
        return w;
    }();
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Workspace& w = workspace();
    std::map<std::string, std::string> files = w.pristine;
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files) names.push_back(name);

    // Edits: [file][op][offset: 2 bytes][length][bytes...]; op 0-1 overwrite, 2 cut, 3 delete.
    std::string_view input = fuzz::asText(data, size);
    while (input.size() >= 5) {
        const std::string& name = names[static_cast<unsigned char>(input[0]) % names.size()];
        const unsigned op = static_cast<unsigned char>(input[1]) % 4;
        const std::size_t offset = static_cast<unsigned char>(input[2]) | (static_cast<unsigned char>(input[3]) << 8);
        const std::size_t length = std::min<std::size_t>(static_cast<unsigned char>(input[4]), input.size() - 5);
        const std::string_view bytes = input.substr(5, length);
        input.remove_prefix(5 + length);
        const auto it = files.find(name);
        if (it == files.end()) continue;
        std::string& file = it->second;
        if (op <= 1) {
            const std::size_t at = std::min(offset, file.size());
            file.replace(at, std::min(bytes.size(), file.size() - at), bytes);
        } else if (op == 2) {
            file.resize(std::min(offset, file.size()));
        } else {
            files.erase(it);
        }
    }

    const fs::path run = w.root / "run", checkpoint = run / "checkpoint", models = run / "models", target = models / "imported";
    fs::remove_all(run);
    fs::create_directories(checkpoint);
    fs::create_directories(target);
    for (const auto& [name, bytes] : files) writeFile(checkpoint / name, bytes);
    writeFile(target / "earlier.txt", "from an earlier import");

    try {
        mlruntime::whisper::importCheckpoint(checkpoint, target);
        for (const char* model : {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"})
            FUZZ_CHECK(fs::is_directory(target / model));
        FUZZ_CHECK(!fs::exists(target / "earlier.txt"));
    } catch (const mlruntime::Error&) {
        FUZZ_CHECK(readFile(target / "earlier.txt") == "from an earlier import");
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(target)) ++entries;
        FUZZ_CHECK(entries == 1);
    }
    std::size_t beside = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(models)) ++beside;
    FUZZ_CHECK(beside == 1);
    return 0;
}
