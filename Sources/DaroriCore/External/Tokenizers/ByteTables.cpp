#include "DaroriCore/External/Tokenizers/ByteTables.hpp"

#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

constexpr char32_t FIRST_SHIFTED = 0x100;
constexpr std::size_t CHARACTER_LIMIT = 0x144;  // one past the highest character of the table

bool standsForItself(unsigned b) { return (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE; }

struct Tables {
    std::array<std::string, 256> encoder;
    std::array<std::int16_t, CHARACTER_LIMIT> decoder{};  // code point -> byte, -1 for none
    std::unordered_map<std::string, std::uint8_t> decoderByText;

    Tables() {
        decoder.fill(-1);
        char32_t shifted = FIRST_SHIFTED;
        for (unsigned b = 0; b < 256; ++b) {
            const char32_t cp = standsForItself(b) ? b : shifted++;
            unicode::appendUTF8(encoder[b], cp);
            decoder[cp] = static_cast<std::int16_t>(b);
            decoderByText.emplace(encoder[b], static_cast<std::uint8_t>(b));
        }
    }
};

const Tables& tables() {
    static const Tables instance;
    return instance;
}

}  // namespace

const std::array<std::string, 256>& byteEncoder() { return tables().encoder; }

const std::unordered_map<std::string, std::uint8_t>& byteDecoder() { return tables().decoderByText; }

std::optional<std::uint8_t> byteForCharacter(char32_t codePoint) {
    if (codePoint >= CHARACTER_LIMIT) return std::nullopt;
    const std::int16_t b = tables().decoder[codePoint];
    if (b < 0) return std::nullopt;
    return static_cast<std::uint8_t>(b);
}

std::string byteLevelEncoded(std::string_view bytes) {
    const auto& encoder = tables().encoder;
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        // Every character of the table takes one or two bytes.
        const std::string& character = encoder[static_cast<unsigned char>(c)];
        out.push_back(character[0]);
        if (character.size() > 1) out.push_back(character[1]);
    }
    return out;
}

}  // namespace darori
