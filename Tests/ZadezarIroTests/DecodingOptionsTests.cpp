#include "ZadezarIro/Core/DecodingOptions.hpp"

#include <gtest/gtest.h>

using namespace zadezariro;

TEST(DecodingOptions, DefaultsOfTheInitializer) {
    const auto o = DecodingOptions::make();
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.task, DecodingTask::transcribe);
    EXPECT_FALSE(o.language);
    EXPECT_EQ(o.temperature, 0.0f);
    EXPECT_EQ(o.temperatureIncrementOnFallback, 0.2f);
    EXPECT_EQ(o.temperatureFallbackCount, 5);
    EXPECT_EQ(o.sampleLength, 224);
    EXPECT_EQ(o.topK, 5);
    EXPECT_TRUE(o.usePrefillPrompt);
    EXPECT_FALSE(o.detectLanguage);
    EXPECT_FALSE(o.skipSpecialTokens || o.withoutTimestamps || o.wordTimestamps || o.suppressBlank);
    EXPECT_FALSE(o.maxInitialTimestamp || o.maxWindowSeek || o.promptTokens || o.prefixTokens || o.chunkingStrategy);
    EXPECT_TRUE(o.clipTimestamps.empty());
    EXPECT_EQ(o.windowClipTime, 1.0f);
    EXPECT_TRUE(o.suppressTokens.empty());
    EXPECT_EQ(o.compressionRatioThreshold, 2.4f);
    EXPECT_EQ(o.logProbThreshold, -1.0f);
    EXPECT_EQ(o.firstTokenLogProbThreshold, -1.5f);
    EXPECT_EQ(o.noSpeechThreshold, 0.6f);
    EXPECT_EQ(o.concurrentWorkerCount, 16);
    EXPECT_EQ(o, DecodingOptions{});
}

TEST(DecodingOptions, DerivedFieldsApplyOnlyToAbsentArguments) {
    EXPECT_TRUE(DecodingOptions::make({.usePrefillPrompt = false}).detectLanguage);
    EXPECT_FALSE(DecodingOptions::make({.usePrefillPrompt = false, .detectLanguage = false}).detectLanguage);
    EXPECT_TRUE(DecodingOptions::make({.usePrefillPrompt = true, .detectLanguage = true}).detectLanguage);
    EXPECT_EQ(DecodingOptions::make({.concurrentWorkerCount = 0}).concurrentWorkerCount, 0);
    EXPECT_EQ(DecodingOptions::make({.suppressTokens = std::vector<std::int64_t>{1, 2}}).suppressTokens,
              (std::vector<std::int64_t>{1, 2}));
    // Nothing is validated.
    const auto odd = DecodingOptions::make({.language = "", .temperatureFallbackCount = -3, .logProbThreshold = 7.0f});
    EXPECT_EQ(odd.language, "");
    EXPECT_EQ(odd.temperatureFallbackCount, -3);
    EXPECT_EQ(odd.logProbThreshold, 7.0f);
}

TEST(DecodingOptions, DefaultJSONHas21KeysInFieldOrderAndRoundTrips) {
    const Json j = DecodingOptions::make().toJSON();
    std::vector<std::string> keys;
    for (const auto& [key, value] : j.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "verbose", "task", "temperature", "temperatureIncrementOnFallback", "temperatureFallbackCount",
                        "sampleLength", "topK", "usePrefillPrompt", "detectLanguage", "skipSpecialTokens",
                        "withoutTimestamps", "wordTimestamps", "clipTimestamps", "windowClipTime", "suppressBlank",
                        "suppressTokens", "compressionRatioThreshold", "logProbThreshold", "firstTokenLogProbThreshold",
                        "noSpeechThreshold", "concurrentWorkerCount"}));
    // Floats are written in their own shortest form, not widened to double digits.
    EXPECT_NE(j.dump().find("\"temperatureIncrementOnFallback\":0.2,"), std::string::npos) << j.dump();
    EXPECT_EQ(j["task"], Json::parse(R"({"transcribe":{}})"));
    EXPECT_EQ(DecodingOptions::fromJSON(Json::parse(j.dump())), DecodingOptions::make());
}

TEST(DecodingOptions, FullJSONRoundTripsAndAbsentThresholdsStayAbsent) {
    auto o = DecodingOptions::make({.task = DecodingTask::translate, .language = "de", .maxInitialTimestamp = 1.5f,
                                    .maxWindowSeek = 3000, .clipTimestamps = {0.5f, 2.25f}, .promptTokens = std::vector<std::int64_t>{1},
                                    .prefixTokens = std::vector<std::int64_t>{}, .compressionRatioThreshold = std::nullopt,
                                    .noSpeechThreshold = std::nullopt, .chunkingStrategy = ChunkingStrategy::vad});
    const Json j = o.toJSON();
    EXPECT_FALSE(j.contains("compressionRatioThreshold"));
    EXPECT_EQ(j["chunkingStrategy"], "vad");
    EXPECT_EQ(DecodingOptions::fromJSON(j), o);
}

TEST(DecodingOptions, DecodingRequiresEveryNonOptionalKeyWithItsType) {
    const Json base = DecodingOptions::make().toJSON();
    for (const char* key : {"concurrentWorkerCount", "detectLanguage", "suppressTokens", "verbose", "task"}) {
        Json j = base;
        j.erase(key);
        EXPECT_THROW(DecodingOptions::fromJSON(j), DecodingError) << key;
    }
    Json wrongType = base;
    wrongType["topK"] = "5";
    EXPECT_THROW(DecodingOptions::fromJSON(wrongType), DecodingError);
    Json fractional = base;
    fractional["topK"] = 2.5;
    EXPECT_THROW(DecodingOptions::fromJSON(fractional), DecodingError);
    Json tooLarge = base;
    tooLarge["temperature"] = 1e39;
    EXPECT_THROW(DecodingOptions::fromJSON(tooLarge), DecodingError);
    Json nullOptional = base;
    nullOptional["language"] = nullptr;
    EXPECT_FALSE(DecodingOptions::fromJSON(nullOptional).language);
    EXPECT_THROW(DecodingOptions::fromJSON(Json::array()), DecodingError);
}

TEST(DecodingTaskJSON, OneCaseKeyDecidesOtherKeysIgnored) {
    struct Case {
        const char* json;
        std::optional<DecodingTask> task;
    } cases[] = {
        {R"({"translate":{}})", DecodingTask::translate},
        {R"({"transcribe":{},"other":1})", DecodingTask::transcribe},
        {R"({})", std::nullopt},
        {R"({"transcribe":{},"translate":{}})", std::nullopt},
    };
    for (const auto& c : cases) {
        if (c.task) {
            EXPECT_EQ(decodingTaskFromJSON(Json::parse(c.json)), *c.task) << c.json;
        } else {
            try {
                decodingTaskFromJSON(Json::parse(c.json));
                ADD_FAILURE() << c.json;
            } catch (const DecodingError& e) {
                EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch);
                EXPECT_EQ(e.debugDescription(), "Invalid number of keys found, expected one.");
            }
        }
    }
    EXPECT_THROW(decodingTaskFromJSON(Json::parse(R"({"translate":1})")), DecodingError);
    EXPECT_EQ(description(DecodingTask::translate), "translate");
}

TEST(ChunkingStrategyJSON, RawValuesAreCaseSensitive) {
    EXPECT_EQ(chunkingStrategy("vad"), ChunkingStrategy::vad);
    EXPECT_EQ(chunkingStrategy("none"), ChunkingStrategy::none);
    EXPECT_FALSE(chunkingStrategy("VAD"));
    Json j = DecodingOptions::make().toJSON();
    j["chunkingStrategy"] = "VAD";
    try {
        DecodingOptions::fromJSON(j);
        ADD_FAILURE();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind(), DecodingError::Kind::dataCorrupted);
    }
}
