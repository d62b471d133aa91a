#include "ZadezarIro/Core/TranscriptionResult.hpp"

#include <cstdio>

#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"

namespace zadezariro {

namespace {
Json logProbsJSON(const std::vector<std::map<std::int64_t, float>>& maps) {
    Json out = Json::array();
    for (const auto& map : maps) {
        Json entry = Json::object();
        for (const auto& [token, logProb] : map) entry[std::to_string(token)] = json::fromFloat(logProb);
        out.push_back(std::move(entry));
    }
    return out;
}

std::vector<std::map<std::int64_t, float>> logProbsFromJSON(const Json& v, const std::string& path) {
    if (!v.is_array()) throw DecodingError(DecodingError::Kind::typeMismatch, path, "Expected an array");
    std::vector<std::map<std::int64_t, float>> out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const std::string itemPath = json::join(path, i);
        json::requireObject(v[i], itemPath);
        std::map<std::int64_t, float> map;
        for (const auto& [key, value] : v[i].items()) {
            std::size_t used = 0;
            std::int64_t token = 0;
            try {
                token = std::stoll(key, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != key.size())
                throw DecodingError(DecodingError::Kind::dataCorrupted, json::join(itemPath, key), "Expected Int key");
            map[token] = json::toFloat(value, json::join(itemPath, key));
        }
        out.push_back(std::move(map));
    }
    return out;
}

std::vector<TranscriptionSegment> segmentsFromJSON(const Json& v, const std::string& path) {
    if (!v.is_array()) throw DecodingError(DecodingError::Kind::typeMismatch, path, "Expected an array");
    std::vector<TranscriptionSegment> out;
    for (std::size_t i = 0; i < v.size(); ++i) out.push_back(TranscriptionSegment::fromJSON(v[i], json::join(path, i)));
    return out;
}

Json segmentsJSON(const std::vector<TranscriptionSegment>& segments) {
    Json out = Json::array();
    for (const auto& s : segments) out.push_back(s.toJSON());
    return out;
}

std::string twoDecimals(float value) { return darori::fixedText(static_cast<double>(value), 2); }
}  // namespace

Json WordTiming::toJSON() const {
    Json j = Json::object();
    j["word"] = word;
    j["tokens"] = tokens;
    j["start"] = json::fromFloat(start);
    j["end"] = json::fromFloat(end);
    j["probability"] = json::fromFloat(probability);
    return j;
}

WordTiming WordTiming::fromJSON(const Json& j, const std::string& path) {
    using namespace json;
    WordTiming w;
    w.word = toString(require(j, "word", path), join(path, "word"));
    w.tokens = toInt64List(require(j, "tokens", path), join(path, "tokens"));
    w.start = toFloat(require(j, "start", path), join(path, "start"));
    w.end = toFloat(require(j, "end", path), join(path, "end"));
    w.probability = toFloat(require(j, "probability", path), join(path, "probability"));
    return w;
}

Json TranscriptionSegment::toJSON() const {
    Json j = Json::object();
    j["id"] = id;
    j["seek"] = seek;
    j["start"] = json::fromFloat(start);
    j["end"] = json::fromFloat(end);
    j["text"] = text;
    j["tokens"] = tokens;
    j["tokenLogProbs"] = logProbsJSON(tokenLogProbs);
    j["temperature"] = json::fromFloat(temperature);
    j["avgLogprob"] = json::fromFloat(avgLogprob);
    j["compressionRatio"] = json::fromFloat(compressionRatio);
    j["noSpeechProb"] = json::fromFloat(noSpeechProb);
    if (words) {
        Json list = Json::array();
        for (const auto& w : *words) list.push_back(w.toJSON());
        j["words"] = std::move(list);
    }
    return j;
}

TranscriptionSegment TranscriptionSegment::fromJSON(const Json& j, const std::string& path) {
    using namespace json;
    auto req = [&](const char* key) -> const Json& { return require(j, key, path); };
    TranscriptionSegment s;
    s.id = toInt64(req("id"), join(path, "id"));
    s.seek = toInt64(req("seek"), join(path, "seek"));
    s.start = toFloat(req("start"), join(path, "start"));
    s.end = toFloat(req("end"), join(path, "end"));
    s.text = toString(req("text"), join(path, "text"));
    s.tokens = toInt64List(req("tokens"), join(path, "tokens"));
    s.tokenLogProbs = logProbsFromJSON(req("tokenLogProbs"), join(path, "tokenLogProbs"));
    s.temperature = toFloat(req("temperature"), join(path, "temperature"));
    s.avgLogprob = toFloat(req("avgLogprob"), join(path, "avgLogprob"));
    s.compressionRatio = toFloat(req("compressionRatio"), join(path, "compressionRatio"));
    s.noSpeechProb = toFloat(req("noSpeechProb"), join(path, "noSpeechProb"));
    if (const Json* v = optional(j, "words")) {
        const std::string wordsPath = join(path, "words");
        if (!v->is_array()) throw DecodingError(DecodingError::Kind::typeMismatch, wordsPath, "Expected an array");
        std::vector<WordTiming> words;
        for (std::size_t i = 0; i < v->size(); ++i) words.push_back(WordTiming::fromJSON((*v)[i], join(wordsPath, i)));
        s.words = std::move(words);
    }
    return s;
}

Json TranscriptionResultStruct::toJSON() const {
    Json j = Json::object();
    j["text"] = text;
    j["segments"] = segmentsJSON(segments);
    j["language"] = language;
    j["timings"] = timings.toJSON();
    if (seekTime) j["seekTime"] = json::fromFloat(*seekTime);
    return j;
}

TranscriptionResultStruct TranscriptionResultStruct::fromJSON(const Json& j) {
    using namespace json;
    TranscriptionResultStruct r;
    r.text = toString(require(j, "text", ""), "text");
    r.segments = segmentsFromJSON(require(j, "segments", ""), "segments");
    r.language = toString(require(j, "language", ""), "language");
    r.timings = TranscriptionTimings::fromJSON(require(j, "timings", ""), "timings");
    if (const Json* v = optional(j, "seekTime")) r.seekTime = toFloat(*v, "seekTime");
    return r;
}

TranscriptionResult::TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments, std::string language,
                                         TranscriptionTimings timings, std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(timings),
      seekTime_(seekTime) {}

std::vector<WordTiming> TranscriptionResult::allWords() const {
    std::vector<WordTiming> out;
    for (const auto& segment : segments())
        if (segment.words) out.insert(out.end(), segment.words->begin(), segment.words->end());
    return out;
}

void TranscriptionResult::logSegments() const {
    const auto list = segments();
    for (std::size_t i = 0; i < list.size(); ++i) {
        darori::Logging::debug("[Segment " + std::to_string(i) + "] [" + twoDecimals(list[i].start) + " --> " +
                               twoDecimals(list[i].end) + "] " + list[i].text);
    }
}

void TranscriptionResult::logTimings() const {
    if (!darori::Logging::isLoggingEnabled(darori::Logging::LogLevel::info)) return;
    std::int64_t tokens = 0;
    for (const auto& segment : segments()) tokens += static_cast<std::int64_t>(segment.tokens.size());
    darori::Logging::info(timingReport(timings(), tokens));
}

Json TranscriptionResult::toJSON() const {
    Json j = Json::object();
    j["text"] = text();
    j["segments"] = segmentsJSON(segments());
    j["language"] = language();
    j["timings"] = timings().toJSON();
    const auto seek = seekTime();
    j["seekTime"] = seek ? json::fromFloat(*seek) : Json(nullptr);
    return j;
}

std::shared_ptr<TranscriptionResult> TranscriptionResult::fromJSON(const Json& j) {
    using namespace json;
    auto text = toString(require(j, "text", ""), "text");
    auto segments = segmentsFromJSON(require(j, "segments", ""), "segments");
    auto language = toString(require(j, "language", ""), "language");
    auto timings = TranscriptionTimings::fromJSON(require(j, "timings", ""), "timings");
    requireObject(j, "");
    if (!j.contains("seekTime")) throw DecodingError(DecodingError::Kind::keyNotFound, "", "No value for key \"seekTime\"");
    std::optional<float> seekTime;
    if (const Json* v = optional(j, "seekTime")) seekTime = toFloat(*v, "seekTime");
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), std::move(language), timings, seekTime);
}

}  // namespace zadezariro

namespace {

// Mixes the hashes of a record's fields in order.
class FieldHasher {
public:
    template <class Value>
    FieldHasher& add(const Value& value) {
        mix(std::hash<Value>{}(value));
        return *this;
    }
    // 0.0 and -0.0 compare equal, so they hash alike.
    FieldHasher& add(float value) {
        mix(std::hash<float>{}(value == 0.0f ? 0.0f : value));
        return *this;
    }
    template <class Value>
    FieldHasher& add(const std::vector<Value>& values) {
        mix(values.size());
        for (const auto& value : values) add(value);
        return *this;
    }
    FieldHasher& add(const std::map<std::int64_t, float>& map) {
        mix(map.size());
        for (const auto& [token, logProb] : map) add(token).add(logProb);
        return *this;
    }
    template <class Value>
    FieldHasher& add(const std::optional<Value>& value) {
        mix(value.has_value());
        if (value) add(*value);
        return *this;
    }
    std::size_t value() const { return seed_; }

private:
    void mix(std::size_t h) { seed_ ^= h + 0x9e3779b97f4a7c15ULL + (seed_ << 6) + (seed_ >> 2); }
    std::size_t seed_ = 0;
};

}  // namespace

std::size_t std::hash<zadezariro::WordTiming>::operator()(const zadezariro::WordTiming& word) const noexcept {
    return FieldHasher().add(word.word).add(word.tokens).add(word.start).add(word.end).add(word.probability).value();
}

std::size_t std::hash<zadezariro::TranscriptionSegment>::operator()(const zadezariro::TranscriptionSegment& segment) const noexcept {
    return FieldHasher()
        .add(segment.id)
        .add(segment.seek)
        .add(segment.start)
        .add(segment.end)
        .add(segment.text)
        .add(segment.tokens)
        .add(segment.tokenLogProbs)
        .add(segment.temperature)
        .add(segment.avgLogprob)
        .add(segment.compressionRatio)
        .add(segment.noSpeechProb)
        .add(segment.words)
        .value();
}
