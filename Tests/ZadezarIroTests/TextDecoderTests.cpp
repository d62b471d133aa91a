// The text decoder on scripted test models: prompts, the token loop's stop rules and caps,
// sampling, language detection, and the cache arrays.
#include "ZadezarIro/Core/TextDecoder.hpp"

#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "Cancellation/Cancellation.hpp"
#include "DecodingTestSupport.hpp"
#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
using mlruntime::Half;
using mlruntime::MultiArray;
namespace testmodels = mlruntime::testmodels;

namespace {

template <class Body>
void expectWhisperError(Body&& body, WhisperError::Kind kind, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no error, expected: " << message;
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.message(), message);
    }
}

// Answers the end token at every step.
class EndSampler : public TokenSampling {
public:
    explicit EndSampler(int64_t eot) : eot_(eot) {}
    SamplingResult update(const std::vector<int64_t>& tokens, const MultiArray&, const std::vector<float>& logProbs) override {
        SamplingResult r{tokens, logProbs, true};
        r.tokens.push_back(eot_);
        r.logProbs.push_back(-0.1f);
        return r;
    }
    SamplingResult finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) override {
        return GreedyTokenSampler(Half(0.0f), eot_, DecodingOptions::make()).finalize(tokens, logProbs);
    }

private:
    int64_t eot_;
};

class TextDecoderTest : public ::testing::Test {
protected:
    TempDir folder;
    std::shared_ptr<const WhisperTokenizer> tokenizer = englishTokenizer();
    const SpecialTokens& special = tokenizer->specialTokens();
    MultiArray encoderOutput{std::vector<int64_t>{1, 64, 1, 1500}, mlruntime::DataType::Float16};

    std::shared_ptr<TextDecoder> decoder(const std::vector<int64_t>& script = {}, int64_t vocab = 51864, int64_t textContext = 224,
                                         std::shared_ptr<const WhisperTokenizer> withTokenizer = nullptr) {
        const auto path = folder.path / ("TextDecoder-" + std::to_string(counter_++) + ".mlmodelc");
        const auto chosen = script.empty() ? testmodels::defaultScript(vocab) : script;
        testmodels::writeScriptedDecoderModel(path, testmodels::decoderConfig(smallSize(vocab), textContext), chosen,
                                              testmodels::endToken(vocab));
        auto made = std::make_shared<TextDecoder>();
        made->loadModel(path, mlruntime::ComputeUnits::cpuOnly);
        made->setTokenizer(withTokenizer ? withTokenizer : tokenizer);
        return made;
    }

    // Prepared and prefilled inputs for `options`.
    DecodingInputs inputs(TextDecoder& d, const std::optional<DecodingOptions>& options) {
        auto prepared = d.prepareDecoderInputs({});
        d.prefillDecoderInputs(prepared, options);
        return prepared;
    }

    DecodingResult decode(TextDecoder& d, const DecodingOptions& options, TokenSampling* sampler = nullptr,
                          const DecodingProgressCallback& callback = nullptr) {
        auto prepared = inputs(d, options);
        GreedyTokenSampler greedy(Half(options.temperature), special.endToken, options);
        return d.decodeText(encoderOutput, prepared, sampler ? *sampler : greedy, options, callback);
    }

private:
    int counter_ = 0;
};

std::vector<int64_t> longScript() {
    std::vector<int64_t> script;
    for (int64_t i = 0; i < 300; ++i) script.push_back(1000 + 3 * i);
    return script;
}

}  // namespace

TEST_F(TextDecoderTest, PrefillBuildsThePromptForEveryOptionCombination) {
    auto d = decoder();
    auto id = [&](const char* text) { return static_cast<int64_t>(*tokenizer->convertTokenToId(text)); };
    std::vector<int64_t> manyPrompts;
    for (int64_t i = 0; i < 150; ++i) manyPrompts.push_back(i == 140 ? special.endToken : 500 + i);
    std::vector<int64_t> kept;  // the last 111 without the special id
    for (int64_t i = 39; i < 150; ++i)
        if (i != 140) kept.push_back(500 + i);
    std::vector<int64_t> prefix(200);
    for (int64_t i = 0; i < 200; ++i) prefix[static_cast<size_t>(i)] = 2000 + i;

    struct Case {
        const char* name;
        bool multilingual;
        std::optional<DecodingOptions> options;
        std::vector<int64_t> prompt;
    };
    const int64_t SOT = special.startOfTranscriptToken, TB = special.timeTokenBegin, PREV = special.startOfPreviousToken;
    std::vector<int64_t> withPrompt{PREV};
    withPrompt.insert(withPrompt.end(), kept.begin(), kept.end());
    withPrompt.insert(withPrompt.end(), {SOT, TB});
    std::vector<int64_t> shortPrefix{SOT, TB};
    shortPrefix.insert(shortPrefix.end(), prefix.end() - 112, prefix.end());
    // Prompt of 2 + 112 = 114 tokens: 222 - 114 = 108 prefix ids.
    std::vector<int64_t> longPrefix{PREV};
    for (int64_t i = 0; i < 111; ++i) longPrefix.push_back(700 + i);
    std::vector<int64_t> promptOf111(longPrefix.begin() + 1, longPrefix.end());
    longPrefix.insert(longPrefix.end(), {SOT, TB});
    longPrefix.insert(longPrefix.end(), prefix.end() - 108, prefix.end());

    const Case cases[] = {
        {"no options", true, std::nullopt, {SOT}},
        {"English-only ignores the language", false, DecodingOptions::make({.language = "de"}), {SOT, TB}},
        {"multilingual", true, DecodingOptions::make({.language = "de"}), {SOT, id("<|de|>"), id("<|transcribe|>"), TB}},
        {"translate without timestamps", true, DecodingOptions::make({.task = DecodingTask::translate, .withoutTimestamps = true}),
         {SOT, special.englishToken, id("<|translate|>"), special.noTimestampsToken}},
        {"unknown language", true, DecodingOptions::make({.language = "xx"}), {SOT, special.englishToken, id("<|transcribe|>"), TB}},
        {"prompt tokens", false, DecodingOptions::make({.promptTokens = manyPrompts}), withPrompt},
        {"only special prompt tokens", false, DecodingOptions::make({.promptTokens = std::vector<int64_t>{special.endToken, TB}}), {SOT, TB}},
        {"prefix after a short prompt", false, DecodingOptions::make({.prefixTokens = prefix}), shortPrefix},
        {"prefix after a long prompt", false, DecodingOptions::make({.promptTokens = promptOf111, .prefixTokens = prefix}), longPrefix},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        d->setModelMultilingual(c.multilingual);
        auto prepared = inputs(*d, c.options);
        EXPECT_EQ(prepared.initialPrompt(), c.prompt);
        EXPECT_EQ(prepared.kvCacheUpdateMask().value(0), 1);
        EXPECT_EQ(prepared.decoderKeyPaddingMask().value(0), 0);
    }
}

TEST_F(TextDecoderTest, PreparedInputsFollowTheModelsDimensions) {
    auto d = decoder();
    auto prepared = d->prepareDecoderInputs({1, 2});
    EXPECT_EQ(prepared.keyCache().shape(), (std::vector<int64_t>{1, 128, 1, 224}));
    EXPECT_EQ(prepared.alignmentWeights().shape(), (std::vector<int64_t>{224, 1500}));
    EXPECT_EQ(prepared.decoderKeyPaddingMask().value(1), -10000);
    EXPECT_EQ(prepared.kvCacheUpdateMask().value(1), 0);
    EXPECT_EQ(prepared.initialPrompt(), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(d->logitsSize(), 51864);
    EXPECT_EQ(d->embedSize(), 64);
    EXPECT_TRUE(d->supportsWordTimestamps());

    TextDecoder empty;
    expectWhisperError([&] { empty.prepareDecoderInputs({}); }, WhisperError::Kind::prepareDecoderInputsFailed,
                       "Unable to determine kvCacheEmbedDim");
    expectWhisperError([&] { empty.prefillDecoderInputs(prepared, std::nullopt); }, WhisperError::Kind::tokenizerUnavailable,
                       "Tokenizer is unavailable");
    auto none = empty.predictLogits(TextDecoderMLMultiArrayInputType(MultiArray(), MultiArray(), MultiArray(), MultiArray(),
                                                                      MultiArray(), MultiArray(), MultiArray()));
    auto* output = dynamic_cast<TextDecoderMLMultiArrayOutputType*>(none.get());
    ASSERT_NE(output, nullptr);
    EXPECT_FALSE(output->logits);
    EXPECT_FALSE(output->cache);
    struct Other : TextDecoderInputType {};
    expectWhisperError([&] { empty.predictLogits(Other()); }, WhisperError::Kind::transcriptionFailed,
                       "Input must be TextDecoderMLMultiArrayInputType");
}

TEST_F(TextDecoderTest, CacheUpdatesWriteOnePositionAndRefuseThosePastTheCache) {
    MultiArray keys({1, 3, 1, 8}, mlruntime::DataType::Float16), values({1, 3, 1, 8}, mlruntime::DataType::Float16);
    MultiArray keySlice({1, 3, 1, 1}, mlruntime::DataType::Float16), valueSlice({1, 3, 1, 1}, mlruntime::DataType::Float16);
    for (int64_t c = 0; c < 3; ++c) {
        keySlice.setValue(c, 1.0 + static_cast<double>(c));
        valueSlice.setValue(c, -1.0 - static_cast<double>(c));
    }
    TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, 5);
    for (int64_t c = 0; c < 3; ++c)
        for (int64_t p = 0; p < 8; ++p) {
            EXPECT_EQ(keys.value({0, c, 0, p}), p == 5 ? 1.0 + static_cast<double>(c) : 0.0);
            EXPECT_EQ(values.value({0, c, 0, p}), p == 5 ? -1.0 - static_cast<double>(c) : 0.0);
        }
    EXPECT_THROW(TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, 8), WhisperError);
    EXPECT_THROW(TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, -1), WhisperError);

    MultiArray alignment({8, 4}, mlruntime::DataType::Float16), slice({1, 4}, mlruntime::DataType::Float16);
    for (int64_t i = 0; i < 4; ++i) slice.setValue(i, 0.25 * static_cast<double>(i + 1));
    TextDecoding::updateAlignmentWeights(alignment, slice, 5);
    for (int64_t r = 0; r < 8; ++r)
        for (int64_t i = 0; i < 4; ++i) EXPECT_EQ(alignment.value({r, i}), r == 6 ? 0.25 * static_cast<double>(i + 1) : 0.0);
    EXPECT_THROW(TextDecoding::updateAlignmentWeights(alignment, slice, 7), WhisperError);
}

TEST_F(TextDecoderTest, ADecoderWithAShortCacheIsRefusedAtLoad) {
    const auto path = folder.path / "Short.mlmodelc";
    testmodels::writeScriptedDecoderModel(path, testmodels::decoderConfig(smallSize(51864), 100), testmodels::defaultScript(51864),
                                          testmodels::endToken(51864));
    TextDecoder d;
    EXPECT_THROW(d.loadModel(path, mlruntime::ComputeUnits::cpuOnly), WhisperError);
    EXPECT_FALSE(d.model());
}

TEST_F(TextDecoderTest, GreedyDecodingSpeaksTheScriptAndSeeksPastIt) {
    auto d = decoder();
    const auto options = DecodingOptions::make({.firstTokenLogProbThreshold = std::nullopt});
    auto result = decode(*d, options);
    const auto script = testmodels::defaultScript(51864);
    std::vector<int64_t> expected{special.startOfTranscriptToken};
    expected.insert(expected.end(), script.begin(), script.end());
    expected.push_back(special.endToken);
    EXPECT_EQ(result.tokens, expected);
    EXPECT_EQ(result.tokenLogProbs.size(), expected.size());
    EXPECT_NE(result.text.find(" Hello world."), std::string::npos) << result.text;
    EXPECT_EQ(result.language, "en");
    EXPECT_EQ(result.languageProbs.at("en"), 0.0f);
    EXPECT_EQ(result.noSpeechProb, 0.0f);
    ASSERT_TRUE(result.cache);
    EXPECT_TRUE(result.cache->alignmentWeights);
    ASSERT_TRUE(result.timings);
    EXPECT_EQ(result.timings->totalDecodingLoops, 6);  // two prompt steps, four script tokens, the end
    EXPECT_EQ(result.timings->totalKVUpdateRuns, 5);

    auto [seek, segments] = SegmentSeeker().findSeekPointAndSegments(result, options, 0, 0, 480'000, 16'000, special.timeTokenBegin,
                                                                     special.specialTokenBegin, *tokenizer);
    ASSERT_TRUE(segments);
    ASSERT_EQ(segments->size(), 1u);
    EXPECT_FLOAT_EQ(segments->front().end, 1.0f);
    EXPECT_EQ(seek, 480'000);
}

TEST_F(TextDecoderTest, TheLoopIsCappedBySampleLengthAndByTheTokenContext) {
    auto d = decoder(longScript());
    // Prompt [start of transcript, no timestamps]: sample length 10 gives 1 + 10 steps.
    auto capped = decode(*d, DecodingOptions::make({.sampleLength = 10, .withoutTimestamps = true, .compressionRatioThreshold = std::nullopt}));
    EXPECT_EQ(capped.timings->totalDecodingLoops, 11);
    EXPECT_EQ(capped.tokens.size(), 2u + 10u + 1u);
    auto full = decode(*d, DecodingOptions::make({.withoutTimestamps = true}));
    EXPECT_EQ(full.timings->totalDecodingLoops, 223);
    EXPECT_EQ(full.tokens.size(), 224u);  // 223 tokens and the end token
    EXPECT_EQ(full.tokens.back(), special.endToken);
}

TEST_F(TextDecoderTest, StopRules) {
    auto d = decoder();
    {
        SCOPED_TRACE("an end token while the prompt is forced does not stop the loop");
        EndSampler ends(special.endToken);
        auto result = decode(*d, DecodingOptions::make({.promptTokens = std::vector<int64_t>{5, 6}}), &ends);
        EXPECT_EQ(result.timings->totalDecodingLoops, 5);  // [prev, 5, 6, SOT, TB]
        EXPECT_EQ(result.tokens, (std::vector<int64_t>{special.startOfTranscriptToken, special.timeTokenBegin, special.endToken}));
    }
    {
        SCOPED_TRACE("a first token below the threshold");
        auto result = decode(*d, DecodingOptions::make({.firstTokenLogProbThreshold = 0.0f}));
        ASSERT_TRUE(result.fallback);
        EXPECT_TRUE(result.fallback->needsFallback);
        EXPECT_EQ(result.fallback->fallbackReason, "firstTokenLogProbThreshold");
        EXPECT_EQ(result.tokens, (std::vector<int64_t>{special.startOfTranscriptToken, special.timeTokenBegin, special.endToken}));
    }
    {
        SCOPED_TRACE("a no-speech threshold below zero reports silence");
        auto result = decode(*d, DecodingOptions::make({.firstTokenLogProbThreshold = std::nullopt, .noSpeechThreshold = -0.5f}));
        ASSERT_TRUE(result.fallback);
        EXPECT_FALSE(result.fallback->needsFallback);
        EXPECT_EQ(result.fallback->fallbackReason, "silence");
        auto usual = decode(*d, DecodingOptions::make({.firstTokenLogProbThreshold = std::nullopt}));
        EXPECT_TRUE(!usual.fallback || usual.fallback->fallbackReason != "silence");
    }
    {
        SCOPED_TRACE("a callback answering false stops after the prompt only");
        int calls = 0;
        auto result = decode(*d, DecodingOptions::make({.firstTokenLogProbThreshold = std::nullopt}), nullptr,
                             [&](const TranscriptionProgress& progress) -> std::optional<bool> {
                                 ++calls;
                                 EXPECT_FALSE(progress.tokens.empty());
                                 return false;
                             });
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(result.timings->totalDecodingLoops, 2);
        EXPECT_EQ(result.tokens.size(), 4u);  // SOT, T0, " Hello", end
    }
}

TEST_F(TextDecoderTest, SamplingAtATemperatureIsRepeatableWithASeed) {
    auto d = decoder();
    auto options = DecodingOptions::make({.temperature = 0.6f, .topK = 3, .firstTokenLogProbThreshold = std::nullopt});
    auto run = [&] {
        auto prepared = inputs(*d, options);
        std::mt19937 engine(42);
        GreedyTokenSampler sampler(Half(0.6f), special.endToken, options,
                                   [&] { return std::uniform_real_distribution<float>(0.0f, 1.0f)(engine); });
        return d->decodeText(encoderOutput, prepared, sampler, options);
    };
    auto first = run();
    EXPECT_EQ(first.tokens, run().tokens);
    EXPECT_FLOAT_EQ(first.temperature, 0.6f);
    EXPECT_EQ(first.tokens.back(), special.endToken);
}

TEST_F(TextDecoderTest, DecodingErrors) {
    auto d = decoder();
    auto prepared = inputs(*d, DecodingOptions::make());
    GreedyTokenSampler sampler(Half(0.0f), special.endToken, DecodingOptions::make());
    expectWhisperError([&] { d->decodeText(MultiArray(), prepared, sampler, DecodingOptions::make()); },
                       WhisperError::Kind::prepareDecoderInputsFailed, "Input must be MLMultiArray");
    auto emptyPrompt = d->prepareDecoderInputs({});
    expectWhisperError([&] { d->decodeText(encoderOutput, emptyPrompt, sampler, DecodingOptions::make()); },
                       WhisperError::Kind::prepareDecoderInputsFailed, "Initial prompt must not be empty");
    TextDecoder noTokenizer;
    expectWhisperError([&] { noTokenizer.decodeText(encoderOutput, prepared, sampler, DecodingOptions::make()); },
                       WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    noTokenizer.setTokenizer(tokenizer);
    expectWhisperError([&] { noTokenizer.detectLanguage(encoderOutput, prepared, sampler, DecodingOptions::make(), Half(0.0f)); },
                       WhisperError::Kind::modelsUnavailable, "Failed to read logits size from model");
}

TEST_F(TextDecoderTest, LogitsFiltersOfAWindow) {
    auto d = decoder();
    auto configured = std::make_shared<SuppressTokensFilter>(std::vector<int64_t>{9});
    d->setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{configured});
    auto filters = d->createLogitsFilters(
        DecodingOptions::make({.suppressBlank = true, .suppressTokens = std::vector<int64_t>{1, special.endToken, 5}}), 2, *tokenizer);
    ASSERT_EQ(filters.size(), 4u);
    EXPECT_EQ(filters[0], configured);
    EXPECT_NE(dynamic_cast<SuppressBlankFilter*>(filters[1].get()), nullptr);
    ASSERT_NE(dynamic_cast<SuppressTokensFilter*>(filters[2].get()), nullptr);
    EXPECT_EQ(dynamic_cast<SuppressTokensFilter*>(filters[2].get())->suppressTokens, (std::vector<int64_t>{1, 5}));
    auto* rules = dynamic_cast<TimestampRulesFilter*>(filters[3].get());
    ASSERT_NE(rules, nullptr);
    EXPECT_FALSE(rules->maxInitialTimestampIndex);
    EXPECT_EQ(d->createLogitsFilters(DecodingOptions::make({.withoutTimestamps = true}), 2, *tokenizer).size(), 1u);
}

TEST_F(TextDecoderTest, LanguageDetectionOnAMultilingualModelAlsoFromSeveralThreads) {
    auto multilingual = multilingualTokenizer();
    const int64_t de = *multilingual->convertTokenToId("<|de|>");
    auto d = decoder({de, 0, 1}, 51865, 224, multilingual);
    d->setModelMultilingual(true);
    auto detect = [&] {
        auto prepared = d->prepareDecoderInputs({});
        GreedyTokenSampler sampler(Half(0.0f), multilingual->specialTokens().endToken, DecodingOptions::make());
        return d->detectLanguage(MultiArray({1, 64, 1, 1500}, mlruntime::DataType::Float16), prepared, sampler, DecodingOptions::make(),
                                 Half(0.0f));
    };
    auto result = detect();
    EXPECT_EQ(result.language, "de");
    ASSERT_EQ(result.languageProbs.count("de"), 1u);
    EXPECT_GT(result.languageProbs.at("de"), -0.01f);
    EXPECT_TRUE(result.tokens.empty());

    d->unloadModel();  // drops the language filter: the threads below race to make it again
    d->loadModel(folder.path / "TextDecoder-0.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    std::atomic<int> detected{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            if (detect().language == "de") ++detected;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(detected.load(), 4);
}

TEST_F(TextDecoderTest, TheSevenArrayFormGivesTheSamePrediction) {
    auto d = decoder();
    auto prepared = inputs(*d, DecodingOptions::make());
    const TextDecoderMLMultiArrayInputType step(prepared.inputIds(), prepared.cacheLength(), prepared.keyCache(),
                                                prepared.valueCache(), prepared.kvCacheUpdateMask(), encoderOutput,
                                                prepared.decoderKeyPaddingMask());
    auto seven = [&] {
        return d->predictLogits(step.inputIds, step.cacheLength, step.keyCache, step.valueCache, step.kvCacheUpdateMask,
                                step.encoderOutputEmbeds, step.decoderKeyPaddingMask);
    };
    const auto whole = d->predictLogits(step);
    const auto* expected = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(whole.get());
    ASSERT_TRUE(expected && expected->logits && expected->cache);
    const auto given = seven();
    ASSERT_TRUE(given && given->logits && given->cache && given->cache->keyCache && given->cache->valueCache);
    EXPECT_EQ(floats(*given->logits), floats(*expected->logits));
    EXPECT_EQ(floats(*given->cache->keyCache), floats(*expected->cache->keyCache));

    d->unloadModel();
    EXPECT_FALSE(seven()) << "no model: no prediction and no error";
    const auto none = d->predictLogits(step);
    const auto* empty = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(none.get());
    ASSERT_NE(empty, nullptr);
    EXPECT_FALSE(empty->logits || empty->cache);
}

TEST_F(TextDecoderTest, ACancelledTaskThrowsBeforeThePrediction) {
    auto multilingual = multilingualTokenizer();
    auto d = decoder({*multilingual->convertTokenToId("<|de|>"), 0, 1}, 51865, 224, multilingual);
    d->setModelMultilingual(true);
    auto prepared = d->prepareDecoderInputs({});
    GreedyTokenSampler sampler(Half(0.0f), multilingual->specialTokens().endToken, DecodingOptions::make());
    const TextDecoderMLMultiArrayInputType step(prepared.inputIds(), prepared.cacheLength(), prepared.keyCache(),
                                                prepared.valueCache(), prepared.kvCacheUpdateMask(), encoderOutput,
                                                prepared.decoderKeyPaddingMask());
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"language detection",
         [&] { d->detectLanguage(encoderOutput, prepared, sampler, DecodingOptions::make(), Half(0.0f)); }},
        {"one prediction", [&] { d->predictLogits(step); }},
        {"seven arrays",
         [&] {
             d->predictLogits(step.inputIds, step.cacheLength, step.keyCache, step.valueCache, step.kvCacheUpdateMask,
                              step.encoderOutputEmbeds, step.decoderKeyPaddingMask);
         }},
    };
    std::stop_source stop;
    stop.request_stop();
    cancellation::CancellationScope scope(stop.get_token());
    for (const auto& [name, call] : cases) {
        SCOPED_TRACE(name);
        EXPECT_THROW(call(), cancellation::CancellationError);
    }
}

TEST_F(TextDecoderTest, TheDebugDumpAndTheLoopStayInsideAShortAlignmentArray) {
    auto d = decoder();
    auto prepared = inputs(*d, DecodingOptions::make());
    // Alignment weights with a single row: the dump shows the missing rows as nan, and the loop
    // refuses to write row 1 instead of writing past the array.
    DecodingInputs shortAlignment(prepared.initialPrompt(), prepared.inputIds(), prepared.cacheLength(), prepared.keyCache(),
                                  prepared.valueCache(), MultiArray({1, 1500}, mlruntime::DataType::Float16),
                                  prepared.kvCacheUpdateMask(), prepared.decoderKeyPaddingMask());
    GreedyTokenSampler sampler(Half(0.0f), special.endToken, DecodingOptions::make());
    LogCapture log;
    EXPECT_THROW(d->decodeText(encoderOutput, shortAlignment, sampler, DecodingOptions::make()), WhisperError);
    std::vector<std::string> rows;
    for (const auto& line : log.lines)
        if (line.find(" | ") != std::string::npos && line.find("Position") == std::string::npos) rows.push_back(line);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].find("nan"), std::string::npos) << rows[0];
    EXPECT_NE(rows[1].find("nan"), std::string::npos) << rows[1];
}

namespace {

// The multilingual test vocabulary with "<|xx|>" counted as a language token.
class ExtraLanguageTokenizer : public WhisperTokenizer {
public:
    ExtraLanguageTokenizer(std::shared_ptr<const WhisperTokenizer> inner, int extra) : inner_(std::move(inner)) {
        languages_ = inner_->allLanguageTokens();
        languages_.insert(extra);
    }
    std::vector<int> encode(const std::string& text) const override { return inner_->encode(text); }
    std::string decode(const std::vector<int>& tokens) const override { return inner_->decode(tokens); }
    std::optional<int> convertTokenToId(const std::string& token) const override { return inner_->convertTokenToId(token); }
    std::optional<std::string> convertIdToToken(int id) const override { return inner_->convertIdToToken(id); }
    const SpecialTokens& specialTokens() const override { return inner_->specialTokens(); }
    const std::unordered_set<int>& allLanguageTokens() const override { return languages_; }
    WordSplit splitToWordTokens(const std::vector<int>& ids) const override { return inner_->splitToWordTokens(ids); }

private:
    std::shared_ptr<const WhisperTokenizer> inner_;
    std::unordered_set<int> languages_;
};

}  // namespace

TEST_F(TextDecoderTest, ADetectedLanguageOutsideTheLanguageListBecomesEnglish) {
    const int xx = *multilingualTokenizer()->convertTokenToId("<|xx|>");
    auto tokenizerWithXx = std::make_shared<ExtraLanguageTokenizer>(multilingualTokenizer(), xx);
    auto d = decoder({xx}, 51865, 224, tokenizerWithXx);
    auto prepared = d->prepareDecoderInputs({});
    GreedyTokenSampler sampler(Half(0.0f), tokenizerWithXx->specialTokens().endToken, DecodingOptions::make());
    LogCapture log(darori::Logging::LogLevel::error);
    auto result = d->detectLanguage(encoderOutput, prepared, sampler, DecodingOptions::make(), Half(0.0f));
    EXPECT_EQ(result.language, "en");
    EXPECT_EQ(result.languageProbs.count("xx"), 1u);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "Detected language xx is not supported, defaulting to en");
}
