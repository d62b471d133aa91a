#include "ZadezarIro/Core/Text/LogitsFilter.hpp"

#include <gtest/gtest.h>

#include "DecodingTestSupport.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;

namespace {

// A 20-id vocabulary: text 0 ... 9 (the blank is 1), specials 10 ... 14, timestamps 15 ... 19.
SpecialTokens smallSpecials() {
    SpecialTokens s;
    s.whitespaceToken = 1;
    s.endToken = 10;
    s.specialTokenBegin = 10;
    s.startOfTranscriptToken = 11;
    s.noTimestampsToken = 12;
    s.translateToken = 13;
    s.transcribeToken = 14;
    s.timeTokenBegin = 15;
    return s;
}
constexpr int64_t SOT = 11, NO_TS = 12, TRANSCRIBE = 14, TB = 15;

// Text and special logits well above the timestamps', so the probability rule stays out of the way.
std::vector<float> flat() {
    std::vector<float> v(20, 0.0f);
    for (int i = 0; i < 15; ++i) v[static_cast<size_t>(i)] = 5.0f;
    return v;
}

// The ids left possible (not minus infinity).
std::vector<int64_t> allowed(const mlruntime::MultiArray& logits) {
    std::vector<int64_t> ids;
    auto values = floats(logits);
    for (size_t i = 0; i < values.size(); ++i)
        if (!isMinusInfinity(values[i])) ids.push_back(static_cast<int64_t>(i));
    return ids;
}

std::vector<int64_t> range(int64_t from, int64_t to) {
    std::vector<int64_t> ids;
    for (int64_t i = from; i < to; ++i) ids.push_back(i);
    return ids;
}

std::vector<int64_t> concat(std::vector<int64_t> a, const std::vector<int64_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(SuppressTokensFilter, SuppressesIdsInRangeAndIgnoresOthersWithOneDebugLine) {
    LogCapture log;
    SuppressTokensFilter filter({-1, 3, 7, 25});
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("the -1 sentinel"), std::string::npos);
    auto logits = halfLogits(flat());
    auto out = filter.filterLogits(logits, {SOT});
    EXPECT_TRUE(out.sharesStorage(logits));
    auto expected = range(0, 20);
    std::erase(expected, 3);
    std::erase(expected, 7);
    EXPECT_EQ(allowed(out), expected);
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST(SuppressBlankFilter, ActsAtTheFirstSampledPositionOnly) {
    SuppressBlankFilter filter(smallSpecials(), 2);
    auto first = filter.filterLogits(halfLogits(flat()), {SOT, TB});
    auto expected = range(0, 20);
    std::erase(expected, 1);
    std::erase(expected, 10);
    EXPECT_EQ(allowed(first), expected);
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), {SOT, TB, 4})), range(0, 20));
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), {SOT})), range(0, 20));
}

TEST(LanguageLogitsFilter, LeavesOnlyLanguageIdsOnceTheSampleBeginIsReached) {
    LanguageLogitsFilter filter({3, 5}, 20, 1);
    EXPECT_EQ(filter.nonLanguageTokenIndexes.size(), 18u);
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), {SOT})), (std::vector<int64_t>{3, 5}));
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), {})), range(0, 20));
}

// The timestamp rules on hand-made token lists: what stays possible after each.
TEST(TimestampRulesFilter, PairingAndOrderRules) {
    struct Case {
        const char* name;
        std::vector<int64_t> tokens;
        std::vector<int64_t> allowed;
    };
    const std::vector<int64_t> specialsBelowTime = range(10, 15);
    std::vector<int64_t> specialsNoNoTs = specialsBelowTime;
    std::erase(specialsNoNoTs, NO_TS);
    const Case cases[] = {
        // At the first sampled position: everything but "no timestamps".
        {"first position", {SOT, NO_TS}, concat(concat(range(0, 10), specialsNoNoTs), range(15, 20))},
        // timestamp, text, timestamp T=17 closes a segment: end/specials below time, timestamps from 17 on.
        {"segment closed", {SOT, NO_TS, 15, 4, 17}, concat(specialsNoNoTs, range(17, 20))},
        // text, timestamp, timestamp: a pair is complete, only tokens below the timestamps remain.
        {"pair complete", {SOT, NO_TS, 4, 17, 17}, concat(range(0, 10), specialsNoNoTs)},
        // Only one sampled token and it is a timestamp: text must follow.
        {"single timestamp", {SOT, NO_TS, 16}, concat(range(0, 10), specialsNoNoTs)},
        // Last is text, last timestamp 16: timestamps from 17 on.
        {"text after timestamp", {SOT, NO_TS, 16, 4}, concat(concat(range(0, 10), specialsNoNoTs), range(17, 20))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TimestampRulesFilter filter(smallSpecials(), 2, std::nullopt, false);
        EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), c.tokens)), c.allowed);
    }
}

TEST(TimestampRulesFilter, ForcesATimestampWhenTheirTotalProbabilityBeatsTheBestTextToken) {
    TimestampRulesFilter filter(smallSpecials(), 2, 0, false);
    // Best text token 2.0; five timestamps at 1.0 each: log(5 e) = 2.61 > 2.0.
    std::vector<float> values(20, -5.0f);
    values[3] = 2.0f;
    for (int i = 15; i < 20; ++i) values[static_cast<size_t>(i)] = 1.0f;
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(values), {SOT, NO_TS})), range(15, 20));
    // One timestamp at 1.0 does not beat it: text stays allowed.
    std::vector<float> single(20, -5.0f);
    single[3] = 2.0f;
    single[15] = 1.0f;
    auto left = allowed(filter.filterLogits(halfLogits(single), {SOT, NO_TS}));
    EXPECT_NE(std::find(left.begin(), left.end(), 3), left.end());
}

TEST(TimestampRulesFilter, MultilingualSampleBeginFollowsTheTaskToken) {
    TimestampRulesFilter filter(smallSpecials(), 1, std::nullopt, true);
    // [SOT, language, transcribe]: sample begin 3, so nothing is sampled yet: only "no timestamps" goes.
    auto atBegin = allowed(filter.filterLogits(halfLogits(flat()), {SOT, 5, TRANSCRIBE}));
    EXPECT_EQ(atBegin.size(), 19u);
    EXPECT_EQ(std::find(atBegin.begin(), atBegin.end(), NO_TS), atBegin.end());
    // A timestamp sampled after the task token closes nothing and forbids another right away.
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), {SOT, 5, TRANSCRIBE, 16})),
              concat(range(0, 10), [] {
                  auto s = range(10, 15);
                  std::erase(s, NO_TS);
                  return s;
              }()));
    // Without a task token among the first three the filter changes nothing at all.
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), {SOT, 5, 6, 7})), range(0, 20));
}

TEST(TimestampRulesFilter, APromptOfPreviousTextKeepsTheRules) {
    // The window's prompt: start of previous, two tokens of previous text, then start of
    // transcript, language, transcribe and the first timestamp; sampling begins at 7.
    const int64_t SOP = smallSpecials().startOfPreviousToken;  // outside the small vocabulary; never a logit index here
    const std::vector<int64_t> prompt{SOP, 3, 4, SOT, 5, TRANSCRIBE, TB};
    TimestampRulesFilter filter(smallSpecials(), 7, std::nullopt, true);
    const auto specials = [] {
        auto s = range(10, 15);
        std::erase(s, NO_TS);
        return s;
    }();
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), prompt)), concat(concat(range(0, 10), specials), range(15, 20)))
        << "no-timestamps suppressed at the first sampled position";
    auto sampled = prompt;
    sampled.push_back(17);
    EXPECT_EQ(allowed(filter.filterLogits(halfLogits(flat()), sampled)), concat(range(0, 10), specials))
        << "a lone timestamp must be followed by text";
}
