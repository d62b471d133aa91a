#include "ZadezarIro/Core/DecodingOptions.hpp"

namespace zadezariro {

std::string_view description(DecodingTask task) {
    return task == DecodingTask::translate ? "translate" : "transcribe";
}

Json toJSON(DecodingTask task) {
    Json j = Json::object();
    j[std::string(description(task))] = Json::object();
    return j;
}

DecodingTask decodingTaskFromJSON(const Json& j, const std::string& path) {
    json::requireObject(j, path);
    std::vector<DecodingTask> found;
    for (DecodingTask task : allDecodingTasks)
        if (j.contains(description(task))) found.push_back(task);
    if (found.size() != 1)
        throw DecodingError(DecodingError::Kind::typeMismatch, path, "Invalid number of keys found, expected one.");
    const std::string key(description(found.front()));
    json::requireObject(j.at(key), json::join(path, key));
    return found.front();
}

std::string_view rawValue(ChunkingStrategy strategy) { return strategy == ChunkingStrategy::vad ? "vad" : "none"; }

std::optional<ChunkingStrategy> chunkingStrategy(std::string_view raw) {
    for (ChunkingStrategy s : allChunkingStrategies)
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

DecodingOptions DecodingOptions::make(const Arguments& a) {
    DecodingOptions o;
    o.verbose = a.verbose;
    o.task = a.task;
    o.language = a.language;
    o.temperature = a.temperature;
    o.temperatureIncrementOnFallback = a.temperatureIncrementOnFallback;
    o.temperatureFallbackCount = a.temperatureFallbackCount;
    o.sampleLength = a.sampleLength;
    o.topK = a.topK;
    o.usePrefillPrompt = a.usePrefillPrompt;
    o.detectLanguage = a.detectLanguage.value_or(!a.usePrefillPrompt);
    o.skipSpecialTokens = a.skipSpecialTokens;
    o.withoutTimestamps = a.withoutTimestamps;
    o.wordTimestamps = a.wordTimestamps;
    o.maxInitialTimestamp = a.maxInitialTimestamp;
    o.maxWindowSeek = a.maxWindowSeek;
    o.clipTimestamps = a.clipTimestamps;
    o.windowClipTime = a.windowClipTime;
    o.promptTokens = a.promptTokens;
    o.prefixTokens = a.prefixTokens;
    o.suppressBlank = a.suppressBlank;
    o.suppressTokens = a.suppressTokens.value_or(std::vector<std::int64_t>{});
    o.compressionRatioThreshold = a.compressionRatioThreshold;
    o.logProbThreshold = a.logProbThreshold;
    o.firstTokenLogProbThreshold = a.firstTokenLogProbThreshold;
    o.noSpeechThreshold = a.noSpeechThreshold;
    o.concurrentWorkerCount = a.concurrentWorkerCount.value_or(16);
    o.chunkingStrategy = a.chunkingStrategy;
    return o;
}

namespace {
Json floats(const std::vector<float>& values) {
    Json out = Json::array();
    for (float v : values) out.push_back(json::fromFloat(v));
    return out;
}
}  // namespace

Json DecodingOptions::toJSON() const {
    Json j = Json::object();
    j["verbose"] = verbose;
    j["task"] = zadezariro::toJSON(task);
    if (language) j["language"] = *language;
    j["temperature"] = json::fromFloat(temperature);
    j["temperatureIncrementOnFallback"] = json::fromFloat(temperatureIncrementOnFallback);
    j["temperatureFallbackCount"] = temperatureFallbackCount;
    j["sampleLength"] = sampleLength;
    j["topK"] = topK;
    j["usePrefillPrompt"] = usePrefillPrompt;
    j["detectLanguage"] = detectLanguage;
    j["skipSpecialTokens"] = skipSpecialTokens;
    j["withoutTimestamps"] = withoutTimestamps;
    j["wordTimestamps"] = wordTimestamps;
    if (maxInitialTimestamp) j["maxInitialTimestamp"] = json::fromFloat(*maxInitialTimestamp);
    if (maxWindowSeek) j["maxWindowSeek"] = *maxWindowSeek;
    j["clipTimestamps"] = floats(clipTimestamps);
    j["windowClipTime"] = json::fromFloat(windowClipTime);
    if (promptTokens) j["promptTokens"] = *promptTokens;
    if (prefixTokens) j["prefixTokens"] = *prefixTokens;
    j["suppressBlank"] = suppressBlank;
    j["suppressTokens"] = suppressTokens;
    if (compressionRatioThreshold) j["compressionRatioThreshold"] = json::fromFloat(*compressionRatioThreshold);
    if (logProbThreshold) j["logProbThreshold"] = json::fromFloat(*logProbThreshold);
    if (firstTokenLogProbThreshold) j["firstTokenLogProbThreshold"] = json::fromFloat(*firstTokenLogProbThreshold);
    if (noSpeechThreshold) j["noSpeechThreshold"] = json::fromFloat(*noSpeechThreshold);
    j["concurrentWorkerCount"] = concurrentWorkerCount;
    if (chunkingStrategy) j["chunkingStrategy"] = std::string(rawValue(*chunkingStrategy));
    return j;
}

DecodingOptions DecodingOptions::fromJSON(const Json& j) {
    using namespace json;
    requireObject(j, "");
    auto req = [&](const char* key) -> const Json& { return require(j, key, ""); };
    auto opt = [&](const char* key) { return optional(j, key); };
    DecodingOptions o;
    o.verbose = toBool(req("verbose"), "verbose");
    o.task = decodingTaskFromJSON(req("task"), "task");
    if (auto v = opt("language")) o.language = toString(*v, "language");
    o.temperature = toFloat(req("temperature"), "temperature");
    o.temperatureIncrementOnFallback = toFloat(req("temperatureIncrementOnFallback"), "temperatureIncrementOnFallback");
    o.temperatureFallbackCount = toInt64(req("temperatureFallbackCount"), "temperatureFallbackCount");
    o.sampleLength = toInt64(req("sampleLength"), "sampleLength");
    o.topK = toInt64(req("topK"), "topK");
    o.usePrefillPrompt = toBool(req("usePrefillPrompt"), "usePrefillPrompt");
    o.detectLanguage = toBool(req("detectLanguage"), "detectLanguage");
    o.skipSpecialTokens = toBool(req("skipSpecialTokens"), "skipSpecialTokens");
    o.withoutTimestamps = toBool(req("withoutTimestamps"), "withoutTimestamps");
    o.wordTimestamps = toBool(req("wordTimestamps"), "wordTimestamps");
    if (auto v = opt("maxInitialTimestamp")) o.maxInitialTimestamp = toFloat(*v, "maxInitialTimestamp");
    if (auto v = opt("maxWindowSeek")) o.maxWindowSeek = toInt64(*v, "maxWindowSeek");
    o.clipTimestamps = toFloatList(req("clipTimestamps"), "clipTimestamps");
    o.windowClipTime = toFloat(req("windowClipTime"), "windowClipTime");
    if (auto v = opt("promptTokens")) o.promptTokens = toInt64List(*v, "promptTokens");
    if (auto v = opt("prefixTokens")) o.prefixTokens = toInt64List(*v, "prefixTokens");
    o.suppressBlank = toBool(req("suppressBlank"), "suppressBlank");
    o.suppressTokens = toInt64List(req("suppressTokens"), "suppressTokens");
    o.compressionRatioThreshold = std::nullopt;
    o.logProbThreshold = std::nullopt;
    o.firstTokenLogProbThreshold = std::nullopt;
    o.noSpeechThreshold = std::nullopt;
    if (auto v = opt("compressionRatioThreshold")) o.compressionRatioThreshold = toFloat(*v, "compressionRatioThreshold");
    if (auto v = opt("logProbThreshold")) o.logProbThreshold = toFloat(*v, "logProbThreshold");
    if (auto v = opt("firstTokenLogProbThreshold")) o.firstTokenLogProbThreshold = toFloat(*v, "firstTokenLogProbThreshold");
    if (auto v = opt("noSpeechThreshold")) o.noSpeechThreshold = toFloat(*v, "noSpeechThreshold");
    o.concurrentWorkerCount = toInt64(req("concurrentWorkerCount"), "concurrentWorkerCount");
    if (auto v = opt("chunkingStrategy")) {
        const std::string raw = toString(*v, "chunkingStrategy");
        const auto strategy = zadezariro::chunkingStrategy(raw);
        if (!strategy)
            throw DecodingError(DecodingError::Kind::dataCorrupted, "chunkingStrategy",
                                "Cannot initialize ChunkingStrategy from invalid String value " + raw);
        o.chunkingStrategy = *strategy;
    }
    return o;
}

}  // namespace zadezariro
