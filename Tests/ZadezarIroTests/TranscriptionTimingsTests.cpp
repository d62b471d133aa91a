#include "ZadezarIro/Core/TranscriptionTimings.hpp"

#include <cfloat>
#include <sstream>

#include <gtest/gtest.h>

using namespace zadezariro;

namespace {
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The value part of the report line whose label is `label` (the first one, for "Fallbacks:").
std::string valueOf(const std::string& report, const std::string& label, std::size_t width) {
    for (const auto& line : lines(report))
        if (line.rfind(label, 0) == 0 && line.size() >= width && line.substr(label.size(), width - label.size()).find_first_not_of(' ') == std::string::npos)
            return line.substr(width);
    return "<missing>";
}
}  // namespace

TEST(TranscriptionTimings, FreshRecordCodesAs33KeysAndRoundTrips) {
    const TranscriptionTimings fresh;
    const Json j = fresh.toJSON();
    ASSERT_EQ(j.size(), 33u);
    EXPECT_EQ(j.begin().key(), "pipelineStart");
    EXPECT_EQ((--j.end()).key(), "fullPipeline");
    EXPECT_EQ(j["pipelineStart"].get<double>(), DBL_MAX);
    EXPECT_NE(j.dump().find("1.7976931348623157e+308"), std::string::npos);
    EXPECT_EQ(j["inputAudioSeconds"].get<double>(), 0.001);

    auto changed = TranscriptionTimings::make({.decodingTimestampAlignment = 2.5, .fullPipeline = 4});
    EXPECT_EQ(changed.decodingWordTimestamps, 2.5);
    changed.totalKVUpdateRuns = 7;
    const auto back = TranscriptionTimings::fromJSON(Json::parse(changed.toJSON().dump()));
    for (const auto& field : TranscriptionTimings::fields()) EXPECT_EQ(back.*field.member, changed.*field.member) << field.name;

    Json missing = j;
    missing.erase("totalDecodingWindows");
    EXPECT_THROW(TranscriptionTimings::fromJSON(missing), DecodingError);
    Json text = j;
    text["logmels"] = "1";
    EXPECT_THROW(TranscriptionTimings::fromJSON(text), DecodingError);
}

TEST(TranscriptionTimings, ComputedFactors) {
    auto t = TranscriptionTimings::make({.totalDecodingLoops = 50, .fullPipeline = 2});
    t.inputAudioSeconds = 10;
    EXPECT_EQ(t.tokensPerSecond(), 25);
    EXPECT_EQ(t.realTimeFactor(), 0.2);
    EXPECT_EQ(t.speedFactor(), 5);
}

TEST(TimingReport, UntouchedRecordPrintsNanInfAndZeros) {
    const std::string report = timingReport(TranscriptionTimings{}, 0);
    const auto all = lines(report);
    ASSERT_EQ(all.size(), 30u);
    EXPECT_EQ(all[0], "---- Transcription Timings ----");
    EXPECT_EQ(all[15], "-------------------------------");
    EXPECT_EQ(report.back(), '0');  // "Fallbacks: 0.0", no trailing line feed
    EXPECT_EQ(all[1], "Audio Load:              0.00 ms /      1 runs (    0.00 ms/run)   nan%");
    EXPECT_EQ(report.find("-nan"), std::string::npos);
    EXPECT_EQ(valueOf(report, "Time to first token:", 31), "0.00 seconds");
    EXPECT_EQ(valueOf(report, "Real Time Factor:", 31), "0.000");
    EXPECT_EQ(valueOf(report, "Speed Factor:", 31), "inf");
    EXPECT_EQ(valueOf(report, "- Decoding Loop (Avg/window):", 31), "nan seconds");
    EXPECT_EQ(all.back(), "Fallbacks:                     0.0");
}

TEST(TimingReport, PercentagesUseTheLargerOfPipelineAndLoop) {
    for (auto [full, loop] : {std::pair{2.0, 3.0}, std::pair{3.0, 2.0}}) {
        auto t = TranscriptionTimings::make({.audioLoading = 0.3, .decodingLoop = loop, .fullPipeline = full});
        EXPECT_EQ(valueOf(timingReport(t, 0), "Audio Load:", 21), "  300.00 ms /      1 runs (  300.00 ms/run) 10.00%");
    }
    auto t = TranscriptionTimings::make({.decodingWindowing = 0.5, .decodingTimestampAlignment = 0.2,
                                         .totalDecodingFallbacks = 3, .totalDecodingWindows = 3, .fullPipeline = 1});
    const std::string report = timingReport(t, 8);
    EXPECT_EQ(valueOf(report, "- Windowing:", 21), "  300.00 ms /      3 runs (  100.00 ms/run) 30.00%");
    EXPECT_EQ(valueOf(report, "Total Tokens:", 31), "8");
    EXPECT_EQ(lines(report).back(), "Fallbacks:                     3.0");
}

TEST(TranscriptionRecords, StateDescriptionsAndChunkOffset) {
    EXPECT_EQ(description(TranscriptionState::transcribing), "Transcribing");
    EXPECT_EQ(description(TranscriptionState::convertingAudio), "Converting Audio");
    EXPECT_EQ(description(TranscriptionState::finished), "Finished");
    const AudioChunk chunk{480000, {0.5f}};
    EXPECT_EQ(chunk.seekOffsetIndex / 16000.0, 30.0);
}
