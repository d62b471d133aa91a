#include "ZadezarIro/Utilities/Extensions.hpp"

#include <stdexcept>

#include <gtest/gtest.h>

#include "TestSupport.hpp"
#include "ZadezarIro/Utilities/LoggingCategories.hpp"

using namespace zadezariro;
using audioinput::AudioFormat;
using audioinput::SampleType;

namespace {
using Clips = std::vector<std::pair<std::int64_t, std::int64_t>>;

const AudioFormat MONO{16000, 1, SampleType::float32, false};

// A buffer whose sample f of channel c (or interleaved slot) holds 1000 c + f.
PCMBuffer ramp(AudioFormat format, std::uint32_t capacity, std::uint32_t length) {
    PCMBuffer buffer(format, capacity);
    auto planes = buffer.floatChannelData();
    for (std::size_t c = 0; c < planes.size(); ++c)
        for (std::uint32_t f = 0; f < capacity * buffer.floatsPerFrame(); ++f) planes[c][f] = static_cast<float>(1000 * c + f);
    buffer.setFrameLength(length);
    return buffer;
}
}  // namespace

TEST(SeekClips, TimestampsBecomeSampleRanges) {
    struct Case {
        std::vector<float> times;
        Clips clips;
    } cases[] = {
        {{}, {{0, 480000}}},
        {{2.0f, 4.0f}, {{32000, 64000}}},
        {{1.5f}, {{24000, 480000}}},
        {{0, 10, 20}, {{0, 160000}, {320000, 480000}}},
        {{0.00003125f}, {{1, 480000}}},  // 0.5 samples round away from zero
        {{40.0f, 1.0f}, {{640000, 16000}}},  // kept as given
        {{1e30f, -1e30f}, {{INT64_MAX, INT64_MIN}}},  // saturated, not undefined
    };
    for (const auto& c : cases) {
        const auto options = DecodingOptions::make({.clipTimestamps = c.times});
        EXPECT_EQ(prepareSeekClips(options, 480000), c.clips) << c.times.size();
    }
}

TEST(OptionalArrays, ErrorsBecomeAbsentEntries) {
    auto result = std::make_shared<TranscriptionResult>("a", std::vector<TranscriptionSegment>{}, "en", TranscriptionTimings{});
    const std::vector<TranscriptionOutcome> outcomes = {TranscriptionResults{result},
                                                       std::make_exception_ptr(std::runtime_error("x")), TranscriptionResults{}};
    const auto flat = toOptionalArrays(outcomes);
    ASSERT_EQ(flat.size(), 3u);
    EXPECT_EQ(flat[0]->front(), result);
    EXPECT_FALSE(flat[1]);
    EXPECT_TRUE(flat[2] && flat[2]->empty());
}

TEST(AppendContents, CopiesTheRequestedFramesAfterTheExistingOnes) {
    auto destination = ramp(MONO, 300, 10);
    const auto source = ramp(MONO, 200, 200);
    EXPECT_TRUE(appendContents(destination, source, 50, 100));
    EXPECT_EQ(destination.frameLength(), 110u);
    EXPECT_EQ(destination.floatChannelData()[0][9], 9);
    EXPECT_EQ(destination.floatChannelData()[0][10], 50);
    EXPECT_EQ(destination.floatChannelData()[0][109], 149);
    EXPECT_EQ(destination.floatChannelData()[0][110], 110);
}

TEST(AppendContents, RefusalsLeaveTheDestinationUnchanged) {
    testsupport::LogCapture log;
    auto destination = ramp(MONO, 300, 10);
    EXPECT_FALSE(appendContents(destination, ramp(MONO, 120, 120), 50, 100));
    EXPECT_FALSE(appendContents(destination, ramp(AudioFormat{44100, 1, SampleType::float32, false}, 10, 10), 0, 5));
    EXPECT_FALSE(appendContents(destination, ramp(MONO, 120, 120), -1, 5));
    const AudioFormat int16{16000, 1, SampleType::int16, false};
    PCMBuffer intDestination(int16, 10);
    EXPECT_FALSE(appendContents(intDestination, PCMBuffer(int16, 10), 0, 0));
    EXPECT_EQ(destination.frameLength(), 10u);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Insufficient audio in buffer", "Format mismatch", "Insufficient audio in buffer",
                                                   "Failed to access float channel data"}));
}

TEST(AppendContents, FullOrNearlyFullDestination) {
    testsupport::LogCapture log;
    auto destination = ramp(MONO, 160, 100);
    EXPECT_TRUE(appendContents(destination, ramp(MONO, 200, 200), 0, 100));
    EXPECT_EQ(destination.frameLength(), 160u);
    EXPECT_EQ(destination.floatChannelData()[0][159], 59);
    // Full: nothing fits, and that is reported as nothing appended.
    EXPECT_FALSE(appendContents(destination, ramp(MONO, 200, 200), 0, 10));
    EXPECT_EQ(destination.frameLength(), 160u);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Insufficient space in buffer, reducing frame count to fit",
                                                   "Insufficient space in buffer, reducing frame count to fit"}));
}

// Zero frames asked for is a request fully met: true, nothing appended, with or without room.
TEST(AppendContents, ZeroFramesAppendNothingAndSucceed) {
    testsupport::LogCapture log;
    for (std::uint32_t length : {10u, 160u}) {
        auto destination = ramp(MONO, 160, length);
        EXPECT_TRUE(appendContents(destination, ramp(MONO, 200, 200), 0, 0)) << "length " << length;
        EXPECT_EQ(destination.frameLength(), length);
    }
    EXPECT_TRUE(log.lines.empty());
}

TEST(AppendContents, EveryChannelIsCopied) {
    for (bool interleaved : {false, true}) {
        const AudioFormat stereo{16000, 2, SampleType::float32, interleaved};
        auto destination = ramp(stereo, 10, 2);
        ASSERT_TRUE(appendContents(destination, ramp(stereo, 10, 10), 3, 4)) << interleaved;
        EXPECT_EQ(destination.frameLength(), 6u);
        const auto planes = destination.floatChannelData();
        if (interleaved) {
            // Frame 2 is source frame 3: slots 6 and 7.
            EXPECT_EQ(planes[0][4], 6);
            EXPECT_EQ(planes[0][5], 7);
            EXPECT_EQ(planes[0][11], 13);
        } else {
            EXPECT_EQ(planes[0][2], 3);
            EXPECT_EQ(planes[1][2], 1003);
            EXPECT_EQ(planes[1][5], 1006);
        }
    }
}

TEST(TextExtensions, NormalizedFormAndSegmentMembership) {
    EXPECT_EQ(normalized("Well-known, fine!"), "well known fine");
    EXPECT_EQ(normalized("  A  --  \u00bfQu\u00e9?\n"), "a qu\u00e9");
    TranscriptionSegment a;
    a.start = 1.5f;
    a.text = "a";
    TranscriptionSegment b = a;
    b.text = "other";
    TranscriptionSegment c = a;
    c.start = 2;
    EXPECT_TRUE(contains({a}, b));
    EXPECT_FALSE(contains({a}, c));
}

TEST(LoggingCategories, SignpostIntervalsAreBookedByName) {
    auto& signposter = LoggingCategories::TranscribeTask().signposter;
    const auto before = signposter.totals()["Decode"].count;
    const auto interval = LoggingCategories::beginSignpost("Decode", signposter);
    LoggingCategories::endSignpost("Decode", interval, signposter);
    EXPECT_EQ(signposter.totals()["Decode"].count, before + 1);
    EXPECT_EQ(LoggingCategories::AudioEncoding().logger.category(), "AudioEncoding");
    EXPECT_EQ(&LoggingCategories::FeatureExtractor(), &LoggingCategories::FeatureExtractor());
}
