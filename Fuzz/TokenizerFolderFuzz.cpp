// A tokenizer folder as a whole (tokenizer.json, tokenizer_config.json, config.json and the chat
// template, the parts of the input split at NULs), loaded the way the engine loads a local
// tokenizer: loading either gives a tokenizer or throws, and a tokenizer it gives encodes and
// decodes without crashing.
#include <fstream>
#include <string>

#include <unistd.h>

#include "DaroriCore/TokenizerWrapper.hpp"
#include "FuzzInput.hpp"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path folder = fs::temp_directory_path() / ("tokenizer-folder-fuzz-" + std::to_string(getpid()));
    static const char* const FILES[] = {"tokenizer.json", "tokenizer_config.json", "config.json", "chat_template.jinja"};
    const auto parts = fuzz::splitInput(fuzz::asText(data, size), 4);
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (std::size_t i = 0; i < 4; ++i) {
        // An empty part leaves its file out (tokenizer.json's absence is an error of its own).
        if (parts[i].empty()) continue;
        std::ofstream out(folder / FILES[i], std::ios::binary);
        out.write(parts[i].data(), static_cast<std::streamsize>(parts[i].size()));
    }
    try {
        const auto tokenizer = darori::AutoTokenizerWrapper::fromModelFolder(folder, darori::HubApiWrapper());
        const auto ids = tokenizer.encode("Hello, w\xC3\xB6rld! 12 <|endoftext|> \xE2\x96\x81x  \n");
        (void)tokenizer.decode(ids);
        (void)tokenizer.convertIdsToTokens({-1, 0, 1, 1 << 30});
    } catch (const std::exception&) {
    }
    return 0;
}
