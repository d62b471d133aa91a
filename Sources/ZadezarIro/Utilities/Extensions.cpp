#include "ZadezarIro/Utilities/Extensions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <utf8proc.h>

#include "DaroriCore/Logging.hpp"
#include "Unicode/Unicode.hpp"

namespace zadezariro {

std::vector<std::pair<std::int64_t, std::int64_t>> prepareSeekClips(const DecodingOptions& options,
                                                                     std::int64_t contentFrames) {
    std::vector<std::int64_t> indices;
    for (float seconds : options.clipTimestamps) {
        const float samples = seconds * 16000.0f;
        // NaN counts as 0 and values beyond 64 bits saturate: a cast out of range is undefined.
        const double rounded = std::isnan(samples) ? 0.0 : std::round(static_cast<double>(samples));
        indices.push_back(rounded >= 9223372036854775807.0    ? INT64_MAX
                          : rounded <= -9223372036854775808.0 ? INT64_MIN
                                                              : static_cast<std::int64_t>(rounded));
    }
    if (indices.empty()) indices.push_back(0);
    if (indices.size() % 2 == 1) indices.push_back(contentFrames);
    std::vector<std::pair<std::int64_t, std::int64_t>> clips;
    for (std::size_t i = 0; i + 1 < indices.size(); i += 2) clips.emplace_back(indices[i], indices[i + 1]);
    return clips;
}

std::vector<std::optional<TranscriptionResults>> toOptionalArrays(const std::vector<TranscriptionOutcome>& outcomes) {
    std::vector<std::optional<TranscriptionResults>> out;
    out.reserve(outcomes.size());
    for (const auto& outcome : outcomes) {
        if (const auto* results = std::get_if<TranscriptionResults>(&outcome))
            out.emplace_back(*results);
        else
            out.emplace_back(std::nullopt);
    }
    return out;
}

bool appendContents(PCMBuffer& destination, const PCMBuffer& source, std::int64_t startingFrame, std::uint32_t frameCount) {
    using darori::Logging;
    if (!(destination.format() == source.format())) {
        Logging::debug("Format mismatch");
        return false;
    }
    if (startingFrame < 0 || static_cast<std::int64_t>(source.frameLength()) < startingFrame + frameCount) {
        Logging::error("Insufficient audio in buffer");
        return false;
    }
    auto to = destination.floatChannelData();
    const auto from = source.floatChannelData();
    if (to.empty() || from.empty() || to.size() != from.size()) {
        Logging::error("Failed to access float channel data");
        return false;
    }
    const std::uint32_t room = destination.frameCapacity() - destination.frameLength();
    if (room < frameCount) {
        Logging::debug("Insufficient space in buffer, reducing frame count to fit");
        frameCount = room;
        // A request that a full buffer cuts to nothing appended nothing it was asked for.
        if (frameCount == 0) return false;
    }
    // Every plane: one per channel, or one interleaved plane holding all channels.
    const std::size_t stride = destination.floatsPerFrame();
    for (std::size_t plane = 0; plane < to.size(); ++plane) {
        std::copy_n(from[plane] + static_cast<std::size_t>(startingFrame) * stride, static_cast<std::size_t>(frameCount) * stride,
                    to[plane] + static_cast<std::size_t>(destination.frameLength()) * stride);
    }
    destination.setFrameLength(destination.frameLength() + frameCount);
    return true;
}

std::string trimmingSpecialTokenCharacters(std::string_view text) {
    const auto first = text.find_first_not_of("<|>");
    if (first == std::string_view::npos) return "";
    const auto last = text.find_last_not_of("<|>");
    return std::string(text.substr(first, last - first + 1));
}

namespace {
bool isPunctuationCharacter(char32_t cp) {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
        case UTF8PROC_CATEGORY_PC:
        case UTF8PROC_CATEGORY_PD:
        case UTF8PROC_CATEGORY_PS:
        case UTF8PROC_CATEGORY_PE:
        case UTF8PROC_CATEGORY_PI:
        case UTF8PROC_CATEGORY_PF:
        case UTF8PROC_CATEGORY_PO: return true;
        default: return false;
    }
}
}  // namespace

std::string normalized(std::string_view text) {
    const std::string lower = unicode::lowercase(text);
    std::string out;
    out.reserve(lower.size());
    for (std::size_t i = 0; i < lower.size();) {
        char32_t cp = unicode::decodeAt(lower, i);
        if (cp == U'-') cp = U' ';
        else if (isPunctuationCharacter(cp)) continue;
        if (cp == U' ' && !out.empty() && out.back() == ' ') continue;
        unicode::appendUTF8(out, cp);
    }
    return unicode::trimWhitespace(out);
}

bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment) {
    return std::any_of(segments.begin(), segments.end(), [&](const auto& s) { return s.start == segment.start; });
}

std::string listDescription(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += "\"" + items[i] + "\"";
    }
    return out + "]";
}

}  // namespace zadezariro
