#include "ZadezarIro/Utilities/TranscriptionUtilities.hpp"

#include <gtest/gtest.h>

using namespace zadezariro;
using namespace zadezariro::TranscriptionUtilities;

namespace {
TranscriptionSegment seekSegment(float start, float end, std::string text, std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.seek = 100;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.words = std::move(words);
    return s;
}

std::vector<WordTiming> words(std::initializer_list<const char*> texts, float probability = 0.5f) {
    std::vector<WordTiming> out;
    for (const char* t : texts) out.push_back(WordTiming{t, {}, 0, 1, probability});
    return out;
}

std::shared_ptr<TranscriptionResult> result(std::string text, std::vector<TranscriptionSegment> segments, double start,
                                            double full, std::string language = "de") {
    TranscriptionTimings t;
    t.pipelineStart = start;
    t.firstTokenTime = start + 1;
    t.fullPipeline = full;
    t.modelLoading = full / 10;
    t.logmels = 0.5;
    t.totalDecodingLoops = 10;
    t.encoderSpecializationTime = 3;
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), std::move(language), t);
}
}  // namespace

TEST(SegmentTimings, ShiftBySecondsOrSamples) {
    const auto base = seekSegment(1.0f, 2.0f, "x", words({"a", "b"}));
    const auto bySeconds = updateSegmentTimings(base, 30.0f);
    EXPECT_EQ(bySeconds.seek, 480100);
    EXPECT_EQ(bySeconds.start, 31.0f);
    EXPECT_EQ(bySeconds.end, 32.0f);
    EXPECT_EQ((*bySeconds.words)[1].start, 30.0f);
    EXPECT_EQ((*bySeconds.words)[1].end, 31.0f);
    EXPECT_EQ(updateSegmentTimings(base, 0.00009f).seek, 101);  // 1.44 samples truncated

    const auto bySamples = updateSegmentTimings(seekSegment(1.0f, 2.0f, "x"), std::int64_t{24000});
    EXPECT_EQ(bySamples.seek, 24100);
    EXPECT_EQ(bySamples.start, 2.5f);
    EXPECT_FALSE(bySamples.words);
}

TEST(SegmentLines, WithAndWithoutTimestamps) {
    const std::vector<TranscriptionSegment> segments = {seekSegment(1.25f, 2.5f, " hi"), seekSegment(2.5f, 3.0f, "there")};
    EXPECT_EQ(formatSegments(segments, true), (std::vector<std::string>{"[1.25 --> 2.50]  hi", "[2.50 --> 3.00] there"}));
    EXPECT_EQ(formatSegments(segments, false), (std::vector<std::string>{" hi", "there"}));
    EXPECT_TRUE(formatSegments({}, true).empty());
}

TEST(WordLists, CommonPrefixComparesNormalisedWordsAndTakesTheSecondList) {
    const auto a = words({"Hello,", "well-known", "c"}, 0.1f);
    const auto b = words({" hello", "well known", "x", "y"}, 0.9f);
    const auto prefix = findLongestCommonPrefix(a, b);
    ASSERT_EQ(prefix.size(), 2u);
    EXPECT_EQ(prefix[0].word, " hello");
    EXPECT_EQ(prefix[0].probability, 0.9f);
    EXPECT_EQ(findLongestDifferentSuffix(a, b), words({"x", "y"}, 0.9f));
    EXPECT_EQ(findLongestDifferentSuffix(words({"q"}), b), b);
    EXPECT_EQ(findLongestCommonPrefix(words({"a", "b", "c"}), words({"a", "b"})).size(), 2u);
}

TEST(MergeResults, TextSegmentsLanguageAndTimings) {
    const auto merged = mergeTranscriptionResults(
        {result("one", {seekSegment(0, 1, "a"), seekSegment(1, 2, "b")}, 0, 10), nullptr, result("two", {seekSegment(5, 6, "c")}, 5, 10, "fr")});
    EXPECT_EQ(merged->text(), "one  two");
    EXPECT_EQ(merged->language(), "de");
    const auto segments = merged->segments();
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[2].text, "c");
    for (std::int64_t i = 0; i < 3; ++i) EXPECT_EQ(segments[static_cast<std::size_t>(i)].id, i);  // unique ids
    EXPECT_FALSE(merged->seekTime());
    const auto t = merged->timings();
    EXPECT_EQ(t.pipelineStart, 0);
    EXPECT_EQ(t.firstTokenTime, 1);
    EXPECT_EQ(t.fullPipeline, 15);  // the overlap of 0..10 and 5..15 counts once
    EXPECT_EQ(t.modelLoading, 1);
    EXPECT_EQ(t.logmels, 1);
    EXPECT_EQ(t.totalDecodingLoops, 20);
    EXPECT_EQ(t.inputAudioSeconds, 0.002);
    EXPECT_EQ(t.encoderSpecializationTime, 0);

    // Runs one after another: the sum.
    EXPECT_EQ(mergeTranscriptionResults({result("", {}, 0, 2), result("", {}, 100, 3)})->timings().fullPipeline, 5);
    EXPECT_EQ(mergeTranscriptionResults({result("x", {}, 0, 1)}, words({" a", "b"}))->text(), " ab");
}

TEST(MergeResults, NothingPresent) {
    const auto merged = mergeTranscriptionResults({nullptr, nullptr});
    EXPECT_EQ(merged->text(), " ");
    EXPECT_TRUE(merged->segments().empty());
    EXPECT_EQ(merged->language(), "en");
    const auto t = merged->timings();
    for (const auto& field : TranscriptionTimings::fields()) EXPECT_EQ(t.*field.member, 0) << field.name;
}
