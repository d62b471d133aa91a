#include "DaroriCore/Logging.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace darori;
using Level = Logging::LogLevel;

namespace {
// Installs a collecting callback and a level for one test; restores the fresh-process state after.
struct LoggingFixture : ::testing::Test {
    std::vector<std::string> lines;
    void SetUp() override {
        Logging::updateCallback([this](const std::string& line) { lines.push_back(line); });
    }
    void TearDown() override {
        Logging::updateCallback(nullptr);
        Logging::updateLogLevel(Level::none);
    }
};
}  // namespace

TEST_F(LoggingFixture, FreshThresholdLogsNothing) {
    EXPECT_EQ(Logging::shared().logLevel(), Level::none);
    EXPECT_FALSE(Logging::isLoggingEnabled());
    Logging::debug("a");
    Logging::info("b");
    Logging::error("c");
    EXPECT_TRUE(lines.empty());
}

TEST_F(LoggingFixture, FiltersByLevelAndMapsLogTypes) {
    Logging::updateLogLevel(Level::info);
    Logging::debug("dropped");
    Logging::info("info");
    Logging::error("error");
    Logging::shared().log(OSLogType::fault, " ", std::nullopt, "fault");
    Logging::shared().log(OSLogType::defaultType, " ", std::nullopt, "default");
    EXPECT_EQ(lines, (std::vector<std::string>{"info", "error", "fault", "default"}));

    Logging::updateLogLevel(Level::error);
    Logging::shared().log(OSLogType::defaultType, " ", std::nullopt, "default dropped");
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_FALSE(Logging::isLoggingEnabled(Level::info));
    EXPECT_TRUE(Logging::isLoggingEnabled(Level::error));
    EXPECT_TRUE(Logging::isLoggingEnabled(Level::none));
    Logging::updateLogLevel(Level::none);
    for (Level l : {Level::debug, Level::info, Level::error, Level::none}) EXPECT_FALSE(Logging::isLoggingEnabled(l));
}

TEST_F(LoggingFixture, JoinsItemsWithSeparatorAndTerminator) {
    Logging::updateLogLevel(Level::debug);
    Logging::shared().log(OSLogType::info, "-", "!", "a", 1);
    Logging::shared().log(OSLogType::info, "-", std::nullopt, "a", 1);
    Logging::shared().log(OSLogType::info, "-", std::nullopt);
    Logging::debug("x", 2.5, true, 0.1f, 'c', std::string("s"));
    EXPECT_EQ(lines, (std::vector<std::string>{"a-1!", "a-1", "", "x 2.5 true 0.1 c s"}));
}

TEST_F(LoggingFixture, CallbackMayLogAndRemovingItRestoresStandardError) {
    Logging::updateLogLevel(Level::debug);
    Logging::updateCallback([this](const std::string& line) {
        lines.push_back(line);
        if (line == "outer") Logging::info("inner");  // no deadlock: the lock is not held here
    });
    testing::internal::CaptureStderr();
    Logging::info("outer");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(lines, (std::vector<std::string>{"outer", "inner"}));

    Logging::updateCallback(nullptr);
    testing::internal::CaptureStderr();
    Logging::error("to stderr");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
}

TEST_F(LoggingFixture, MemoryLine) {
    Logging::updateLogLevel(Level::debug);
    EXPECT_GT(Logging::getMemoryUsage(), 0u);
    Logging::logCurrentMemoryUsage("After load");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("After load - Memory usage: ", 0), 0u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 3), " MB");
}

TEST(Logging, LevelsAndTimingLine) {
    EXPECT_EQ(Logging::logLevel(0), std::nullopt);
    EXPECT_EQ(Logging::logLevel(5), std::nullopt);
    EXPECT_EQ(Logging::logLevel(2), Level::info);
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 4, 1000), "  500.00 ms /      4 runs (  125.00 ms/run) 50.00%");
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 0, 1000), "  500.00 ms /      0 runs (    0.00 ms/run) 50.00%");
    // A zero total makes 0/0 a NaN with the sign bit set on x86; it still prints as "nan".
    EXPECT_EQ(Logging::formatTimeWithPercentage(0, 1, 0), "    0.00 ms /      1 runs (    0.00 ms/run)   nan%");
    // Huge figures are printed whole, not cut off.
    const std::string huge = Logging::formatTimeWithPercentage(1e300, 1, 1);
    EXPECT_GT(huge.size(), 900u);
    EXPECT_EQ(huge.back(), '%');
}

TEST(Signposter, IntervalsAddUpPerName) {
    Signposter signposter("org.talkweft.test", "Test");
    for (int i = 0; i < 3; ++i) signposter.endInterval(signposter.beginInterval("encode"));
    signposter.endInterval(signposter.beginInterval("decode"));
    const auto totals = signposter.totals();
    ASSERT_EQ(totals.size(), 2u);
    EXPECT_EQ(totals.at("encode").count, 3u);
    EXPECT_GE(totals.at("encode").seconds, 0.0);
    EXPECT_EQ(totals.at("decode").count, 1u);
}
