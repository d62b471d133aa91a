// Writing one transcription result as a file in a chosen folder: JSON (the result's own coding,
// pretty-printed), SubRip (.srt) or WebVTT (.vtt). Writers never throw: they return the written
// file's URL or the error that stopped them. Every file is written to a temporary file beside it
// and renamed into place, so a failed write leaves an earlier file intact.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "ZadezarIro/Core/JSONCoding.hpp"
#include "ZadezarIro/Core/TranscriptionResult.hpp"

namespace zadezariro {

// Success with the file's absolute URL ("file:///..."), or failure with the error.
struct WriteResult {
    std::optional<std::string> url;
    std::exception_ptr error;

    bool succeeded() const { return url.has_value(); }
    // The error's what(), or "" on success.
    std::string errorDescription() const;
};

class ResultWriting {
public:
    virtual ~ResultWriting() = default;

    virtual const std::string& outputDir() const = 0;
    // Writes `result` to outputDir/<file><extension>. A file name holding "/" (one that would
    // leave the folder) or a NUL is refused with std::invalid_argument. `options` is not read.
    virtual WriteResult write(const TranscriptionResult& result, const std::string& file,
                              const std::optional<Json>& options = std::nullopt) = 0;

    // "HH:MM:SS<marker>mmm" when alwaysIncludeHours or the time reaches an hour, else
    // "MM:SS<marker>mmm"; rounded to the nearest millisecond. Negative and NaN times format as 0,
    // times beyond 10^9 s as 10^9 s.
    static std::string formatTime(float seconds, bool alwaysIncludeHours, std::string_view decimalMarker);
    // One SubRip cue: index, line feed, start --> end (hours, ","), line feed, text, two line feeds.
    static std::string formatSegment(long long index, float start, float end, std::string_view text);
    // One WebVTT cue: start --> end (hours only when needed, "."), line feed, text, two line feeds.
    static std::string formatTiming(float start, float end, std::string_view text);
};

class WriteJSON : public ResultWriting {
public:
    explicit WriteJSON(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<Json>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

class WriteSRT : public ResultWriting {
public:
    explicit WriteSRT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    // One numbered cue per word of segments with words, else one per segment; numbers run across
    // the file from 1.
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<Json>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

class WriteVTT : public ResultWriting {
public:
    explicit WriteVTT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    // "WEBVTT\n\n", then cues chosen as for SubRip, without numbers.
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<Json>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

}  // namespace zadezariro
