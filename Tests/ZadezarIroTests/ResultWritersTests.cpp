#include "ZadezarIro/Utilities/ResultWriters.hpp"

#include <climits>
#include <cmath>
#include <limits>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "TestSupport.hpp"

using namespace zadezariro;
using testsupport::readFile;

namespace {
TranscriptionSegment segment(float start, float end, std::string text, std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.words = std::move(words);
    return s;
}

TranscriptionResult sample() {
    return TranscriptionResult(" Hello world. Bye", {segment(0, 2.3f, " Hello world.", std::vector<WordTiming>{}),
                                                      segment(3661.5f, 3663, " Bye", std::vector<WordTiming>{
                                                          WordTiming{" By", {1}, 3661.5f, 3662, 0.9f},
                                                          WordTiming{"e", {2}, 3662, 3663, 0.8f}})},
                               "en", TranscriptionTimings{});
}
}  // namespace

TEST(FormatTime, HoursMarkersAndMilliseconds) {
    struct Case {
        float seconds;
        bool hours;
        const char* marker;
        const char* text;
    } cases[] = {
        {3661.5f, true, ",", "01:01:01,500"},
        {5.25f, true, ",", "00:00:05,250"},
        {65.25f, false, ".", "01:05.250"},
        {3661.5f, false, ".", "01:01:01.500"},
        {2.3f, true, ",", "00:00:02,300"},  // nearest millisecond, not a truncated 2299.99
        {59.9999f, false, ".", "01:00.000"},
        {0.0f, false, ".", "00:00.000"},
        {-1.5f, true, ",", "00:00:00,000"},
        {std::numeric_limits<float>::quiet_NaN(), false, ".", "00:00.000"},
        {std::numeric_limits<float>::infinity(), false, ".", "277777:46:40.000"},
    };
    for (const auto& c : cases) EXPECT_EQ(ResultWriting::formatTime(c.seconds, c.hours, c.marker), c.text) << c.seconds;
    EXPECT_EQ(ResultWriting::formatSegment(3, 1, 2, " x"), "3\n00:00:01,000 --> 00:00:02,000\n x\n\n");
    EXPECT_EQ(ResultWriting::formatTiming(1, 2, " x"), "00:01.000 --> 00:02.000\n x\n\n");
}

TEST(WriteSRT, CuesPerWordOrPerSegmentNumberedAcrossTheFile) {
    testsupport::TempDir dir;
    WriteSRT writer(dir.path.string());
    const auto written = writer.write(sample(), "out");
    ASSERT_TRUE(written.succeeded()) << written.errorDescription();
    EXPECT_EQ(*written.url, "file://" + (dir.path / "out.srt").string());
    EXPECT_EQ(readFile(dir.path / "out.srt"),
              "1\n00:00:00,000 --> 00:00:02,300\n Hello world.\n\n"
              "2\n01:01:01,500 --> 01:01:02,000\n By\n\n"
              "3\n01:01:02,000 --> 01:01:03,000\ne\n\n");
}

TEST(WriteVTT, HeaderAndUnnumberedCues) {
    testsupport::TempDir dir;
    WriteVTT writer(dir.path.string());
    ASSERT_TRUE(writer.write(sample(), "out").succeeded());
    EXPECT_EQ(readFile(dir.path / "out.vtt"),
              "WEBVTT\n\n00:00.000 --> 00:02.300\n Hello world.\n\n"
              "01:01:01.500 --> 01:01:02.000\n By\n\n01:01:02.000 --> 01:01:03.000\ne\n\n");
    ASSERT_TRUE(writer.write(TranscriptionResult("", {}, "en", TranscriptionTimings{}), "empty").succeeded());
    EXPECT_EQ(readFile(dir.path / "empty.vtt"), "WEBVTT\n\n");
    ASSERT_TRUE(WriteSRT(dir.path.string()).write(TranscriptionResult("", {}, "en", TranscriptionTimings{}), "empty").succeeded());
    EXPECT_EQ(readFile(dir.path / "empty.srt"), "");
}

TEST(WriteJSON, ThePrettyResultCodingReadsBack) {
    testsupport::TempDir dir;
    const auto written = WriteJSON(dir.path.string()).write(sample(), "my result");
    ASSERT_TRUE(written.succeeded()) << written.errorDescription();
    EXPECT_EQ(*written.url, "file://" + (dir.path / "my%20result.json").string());
    const std::string text = readFile(dir.path / "my result.json");
    EXPECT_NE(text.find("\n  \"segments\": ["), std::string::npos);
    const auto back = TranscriptionResult::fromJSON(Json::parse(text));
    EXPECT_EQ(back->segments(), sample().segments());
}

TEST(ResultWriters, FailuresAreReportedAndLeaveEarlierFilesAlone) {
    testsupport::TempDir dir;
    WriteSRT srt(dir.path.string());
    WriteJSON json(dir.path.string());
    for (const char* name : {"../escape", "a/b", "/etc/passwd"}) {
        const auto refused = srt.write(sample(), name);
        EXPECT_FALSE(refused.succeeded()) << name;
        EXPECT_NE(refused.errorDescription().find("leave the output folder"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path.parent_path() / "escape.srt"));

    ASSERT_TRUE(json.write(sample(), "keep").succeeded());
    const std::string before = readFile(dir.path / "keep.json");
    auto broken = sample();
    auto segments = broken.segments();
    segments[0].compressionRatio = std::numeric_limits<float>::infinity();  // JSON cannot hold it
    broken.setSegments(segments);
    const auto failed = json.write(broken, "keep");
    EXPECT_FALSE(failed.succeeded());
    EXPECT_EQ(readFile(dir.path / "keep.json"), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);  // no temporary left behind

    const auto missingFolder = WriteVTT((dir.path / "missing").string()).write(sample(), "x");
    EXPECT_FALSE(missingFolder.succeeded());
    EXPECT_NE(missingFolder.errorDescription().find("missing"), std::string::npos);
}

namespace {
mode_t modeOf(const std::filesystem::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The process's umask for one test.
struct ScopedUmask {
    mode_t previous;
    explicit ScopedUmask(mode_t mask) : previous(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous); }
};
}  // namespace

TEST(ResultWriters, NewFilesFollowTheUmaskReplacedOnesKeepTheirModeAndLongNamesFit) {
    testsupport::TempDir dir;
    WriteSRT srt(dir.path.string());
    {
        ScopedUmask mask(077);
        ASSERT_TRUE(srt.write(sample(), "private").succeeded());
    }
    EXPECT_EQ(modeOf(dir.path / "private.srt"), 0600u) << "a transcript must not be readable by others under umask 077";

    ScopedUmask mask(022);
    ASSERT_TRUE(srt.write(sample(), "shared").succeeded());
    EXPECT_EQ(modeOf(dir.path / "shared.srt"), 0644u);
    ASSERT_EQ(::chmod((dir.path / "shared.srt").c_str(), 0600), 0);
    ASSERT_TRUE(srt.write(sample(), "shared").succeeded());
    EXPECT_EQ(modeOf(dir.path / "shared.srt"), 0600u) << "replacing a file must not widen its mode";

    // A name as long as the folder allows: the temporary file beside it must still fit.
    const std::string longest(NAME_MAX - 4, 'x');
    const auto written = WriteVTT(dir.path.string()).write(sample(), longest);
    ASSERT_TRUE(written.succeeded()) << written.errorDescription();
    EXPECT_EQ(readFile(dir.path / (longest + ".vtt")).substr(0, 6), "WEBVTT");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 3);  // no temporary left behind
}
