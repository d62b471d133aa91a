// Numbers that the engine and the hub client write and read keep "." as their decimal point when
// the process runs in a locale that writes "1,5" (a desktop toolkit sets the locale from the
// environment; a program using the engine may set one itself).
#include <clocale>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "DaroriCore/External/Hub/HubApi.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/JSONCoding.hpp"
#include "ZadezarIro/Core/TranscriptionResult.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"
#include "ZadezarIro/Utilities/TranscriptionUtilities.hpp"

using namespace zadezariro;

namespace {

// The whole process in de_DE.UTF-8 for one test; the locale it had before afterwards.
class CommaLocale {
public:
    CommaLocale() : previous_(std::setlocale(LC_ALL, nullptr)) { active_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr; }
    ~CommaLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
    bool active() const { return active_; }

private:
    std::string previous_;
    bool active_ = false;
};

}  // namespace

TEST(CommaLocale, NumbersAreWrittenAndReadWithAPoint) {
    CommaLocale locale;
    // A missing locale fails here rather than letting the test pass without checking anything.
    ASSERT_TRUE(locale.active()) << "the de_DE.UTF-8 locale is not installed (scripts/install-deps generates it)";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5") << "the locale does not switch the decimal point, so this test would prove nothing";

    // The hub cache's metadata file keeps its timestamp: it is not found malformed and deleted.
    testsupport::TempDir dir;
    darori::HubApi hub;
    const auto metadata = dir.path / "tokenizer.json.metadata";
    hub.writeDownloadMetadata("0123456789abcdef0123456789abcdef01234567", "etag", metadata);
    const auto record = hub.readDownloadMetadata(metadata);
    ASSERT_TRUE(record.has_value()) << "the metadata file was found malformed and deleted";
    EXPECT_GT(record->timestamp, 1.6e9);
    EXPECT_TRUE(std::filesystem::exists(metadata));

    // Fixed text formats of the engine.
    TranscriptionSegment segment;
    segment.start = 0;
    segment.end = 1.23f;
    segment.text = " Hi";
    EXPECT_EQ(TranscriptionUtilities::formatSegments({segment}, true), std::vector<std::string>{"[0.00 --> 1.23]  Hi"});
    TranscriptionTimings timings;
    timings.modelLoading = 1.5;
    const std::string report = timingReport(timings, 3);
    EXPECT_NE(report.find("Model Load Time:               1.50 seconds"), std::string::npos) << report;
    EXPECT_EQ(darori::Logging::formatTimeWithPercentage(0.5, 4, 1000), "  500.00 ms /      4 runs (  125.00 ms/run) 50.00%");
    EXPECT_EQ(json::fromFloat(0.1f).dump(), "0.1");
    EXPECT_EQ(darori::fixedText(2.5, 1), "2.5");
    EXPECT_EQ(darori::generalText(0.125, 2), "0.12");

    // Numbers read from text.
    EXPECT_EQ(darori::parseDouble("1765452129.25"), 1765452129.25);
    EXPECT_EQ(darori::parseFloat("0.5"), 0.5f);
    EXPECT_EQ(darori::parseDouble("1,5"), std::nullopt);
    const auto back = TranscriptionSegment::fromJSON(Json::parse(segment.toJSON().dump()));
    EXPECT_EQ(back.end, 1.23f);
}
