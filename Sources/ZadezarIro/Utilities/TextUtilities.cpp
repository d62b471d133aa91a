#include "ZadezarIro/Utilities/TextUtilities.hpp"

#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include <zlib.h>

#include "DaroriCore/Logging.hpp"
#include "Unicode/Unicode.hpp"

namespace zadezariro::TextUtilities {

namespace {
constexpr float INF = std::numeric_limits<float>::infinity();

// The size of the raw DEFLATE stream of the bytes, or absent with a reason when zlib fails.
std::optional<std::size_t> deflatedSize(const unsigned char* bytes, std::size_t count, std::string& reason) {
    z_stream stream{};
    if (deflateInit2(&stream, COMPRESSION_LEVEL, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        reason = "deflate could not start";
        return std::nullopt;
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(count)) + 16, '\0');
    stream.next_in = const_cast<Bytef*>(bytes);
    stream.avail_in = static_cast<uInt>(count);
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    const std::size_t size = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END) {
        reason = "deflate did not finish";
        return std::nullopt;
    }
    return size;
}

float ratio(const unsigned char* bytes, std::size_t count) {
    std::string reason;
    const auto compressed = deflatedSize(bytes, count, reason);
    if (!compressed || *compressed == 0) {
        darori::Logging::debug("Compression error: " + (reason.empty() ? std::string("empty output") : reason));
        return INF;
    }
    return static_cast<float>(count) / static_cast<float>(*compressed);
}
}  // namespace

float compressionRatio(std::string_view text) {
    if (text.empty()) return INF;
    if (unicode::repairUTF8(text) != text) {
        darori::Logging::debug("String encoding error");
        return INF;
    }
    return ratio(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

float compressionRatio(const std::vector<std::int64_t>& tokens) {
    if (tokens.empty()) return INF;
    std::string bytes;
    bytes.reserve(tokens.size() * 4);
    for (std::int64_t token : tokens) {
        const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(token));
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((value >> shift) & 0xff));
    }
    return ratio(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace zadezariro::TextUtilities
