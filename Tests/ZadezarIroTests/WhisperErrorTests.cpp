#include "ZadezarIro/Utilities/WhisperError.hpp"

#include <gtest/gtest.h>

#include "TestSupport.hpp"

using namespace zadezariro;

TEST(WhisperError, EqualityIsCaseAndMessage) {
    EXPECT_EQ(WhisperError::decodingFailed("x"), WhisperError::decodingFailed("x"));
    EXPECT_FALSE(WhisperError::decodingFailed("x") == WhisperError::transcriptionFailed("x"));
    EXPECT_FALSE(WhisperError::decodingFailed("x") == WhisperError::decodingFailed("y"));
    EXPECT_EQ(WhisperError::tokenizerUnavailable().message(), "Tokenizer is unavailable");
    EXPECT_EQ(WhisperError::modelsUnavailable().message(), "Models are unavailable");
}

TEST(WhisperError, EveryDescriptionReadLogsTheMessageAtErrorLevel) {
    const auto error = WhisperError::loadAudioFailed("Audio file not found at path: /a");
    {
        testsupport::LogCapture log(darori::Logging::LogLevel::error);
        EXPECT_EQ(error.errorDescription(), "Audio file not found at path: /a");
        EXPECT_EQ(error.errorDescription(), "Audio file not found at path: /a");
        EXPECT_EQ(WhisperError::segmentingFailed("").errorDescription(), "");
        EXPECT_STREQ(error.what(), "Audio file not found at path: /a");  // what() does not log
        EXPECT_EQ(log.lines, (std::vector<std::string>{"Audio file not found at path: /a", "Audio file not found at path: /a", ""}));
    }
    testsupport::LogCapture off(darori::Logging::LogLevel::none);
    error.errorDescription();
    EXPECT_TRUE(off.lines.empty());
}
