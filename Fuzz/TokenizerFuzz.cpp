// Encodes arbitrary bytes with the English speech-model tokenizer and decodes the ids again (the
// text must come back unchanged when it is valid UTF-8), then decodes the input read as ids.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/PreTrainedTokenizer.hpp"

namespace {

darori::Config readJSON(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return darori::Config::convertToBinaryDistinctKeys(nlohmann::ordered_json::parse(text.str()));
}

const darori::PreTrainedTokenizer& tokenizer() {
    static const darori::PreTrainedTokenizer instance = [] {
        const char* env = std::getenv("TALKWEFT_TOKENIZER_FIXTURE");
        const std::filesystem::path folder =
            env ? std::filesystem::path(env)
                : std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "shared" / "fixtures" / "tokenizer-en";
        return darori::PreTrainedTokenizer(readJSON(folder / "tokenizer_config.json"), readJSON(folder / "tokenizer.json"), true);
    }();
    return instance;
}

bool validUTF8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        char32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto& t = tokenizer();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto ids = t.encode(text, false);
    const std::string decoded = t.decode(ids);
    // Clean-up of spaces before punctuation changes the text on purpose; compare without it only
    // when the text has none of the patterns it rewrites.
    if (validUTF8(text) && text.find(" ") == std::string::npos && decoded != text) std::abort();

    std::vector<int> asIds;
    for (size_t i = 0; i + 2 <= size; i += 2) asIds.push_back((data[i] << 8 | data[i + 1]) - 1000);
    (void)t.decode(asIds, true);
    return 0;
}
