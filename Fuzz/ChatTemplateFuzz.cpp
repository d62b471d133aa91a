// A model folder's chat template files (chat_template.jinja, else chat_template.json), whatever they
// hold: a damaged template is no template and never fails the configuration; a .jinja file that is
// valid UTF-8 becomes the template byte for byte, any other .jinja file none.
#include <fstream>
#include <string>

#include <unistd.h>

#include "DaroriCore/External/Hub/LanguageModelConfigurationFromHub.hpp"
#include "FuzzInput.hpp"
#include "Unicode/Unicode.hpp"

namespace fs = std::filesystem;

namespace {
void writeFile(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path folder = fs::temp_directory_path() / ("chat-template-fuzz-" + std::to_string(getpid()));
    if (size < 1) return 0;
    const bool jinja = data[0] & 1, withConfig = data[0] & 2;
    const auto text = fuzz::asText(data + 1, size - 1);

    fs::remove_all(folder);
    fs::create_directories(folder);
    writeFile(folder / "tokenizer.json", R"({"model": {"type": "BPE", "vocab": {}, "merges": []}})");
    if (withConfig) writeFile(folder / "tokenizer_config.json", R"({"tokenizer_class": "GPT2Tokenizer"})");
    writeFile(folder / (jinja ? "chat_template.jinja" : "chat_template.json"), text);

    const auto configs = darori::LanguageModelConfigurationFromHub::loadConfig(folder, darori::HubApiWrapper());
    const std::optional<std::string> chatTemplate =
        configs.tokenizerConfig ? (*configs.tokenizerConfig)["chat_template"].string() : std::nullopt;
    if (withConfig) FUZZ_CHECK(configs.tokenizerConfig && (*configs.tokenizerConfig)["tokenizer_class"].string());
    if (jinja) {
        const bool valid = unicode::repairUTF8(text) == text;
        FUZZ_CHECK(valid ? chatTemplate == std::string(text) : !chatTemplate);
    }
    return 0;
}
