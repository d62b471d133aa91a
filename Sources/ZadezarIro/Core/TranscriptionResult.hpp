// The outcome of a transcription: word timings, timed segments, and the result object that every
// transcription entry point returns, with their JSON coding and log lines.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ZadezarIro/Core/JSONCoding.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"

namespace zadezariro {

// One word with its tokens and time span (seconds). Equality and hashing (std::hash) cover all
// fields.
struct WordTiming {
    std::string word;
    std::vector<std::int64_t> tokens;
    float start = 0;
    float end = 0;
    float probability = 0;

    float duration() const { return end - start; }
    bool operator==(const WordTiming&) const = default;

    // Keys "word", "tokens", "start", "end", "probability", all required when decoding.
    Json toJSON() const;
    static WordTiming fromJSON(const Json& j, const std::string& path = "");
};

// One timed stretch of decoded text with its tokens and quality measures. Equality and hashing
// (std::hash) cover all twelve fields.
struct TranscriptionSegment {
    std::int64_t id = 0;
    std::int64_t seek = 0;  // sample offset (16 kHz) of the window the segment came from
    float start = 0;
    float end = 0;
    std::string text;
    std::vector<std::int64_t> tokens;
    std::vector<std::map<std::int64_t, float>> tokenLogProbs;  // one map per token
    float temperature = 0;
    float avgLogprob = 0;
    float compressionRatio = 0;
    float noSpeechProb = 0;
    std::optional<std::vector<WordTiming>> words;  // absent when word timestamps were not computed

    float duration() const { return end - start; }
    bool operator==(const TranscriptionSegment&) const = default;

    // Eleven keys always, "words" only when present; "tokenLogProbs" maps are objects keyed by the
    // token id in decimal. Decoding requires the first eleven keys. Throws EncodingError for a
    // non-finite float, DecodingError on reading.
    Json toJSON() const;
    static TranscriptionSegment fromJSON(const Json& j, const std::string& path = "");
};

// The five result fields as a plain value. JSON: "seekTime" only when present (missing or null
// reads as absent).
struct TranscriptionResultStruct {
    std::string text;
    std::vector<TranscriptionSegment> segments;
    std::string language;
    TranscriptionTimings timings;
    std::optional<float> seekTime;

    Json toJSON() const;
    static TranscriptionResultStruct fromJSON(const Json& j);
};

// The result of one transcribed audio array or chunk, shared by reference between the transcription
// task, segment callbacks and the caller.
//
// Thread-safety: each of the five properties has a lock of its own; get copies out and set replaces
// under it, and modify runs the whole change under it, so two modifies of one property never lose
// an update. No lock covers two properties: toJSON() is consistent per property only. A change
// passed to modify must not touch the same result's same property (that would deadlock).
class TranscriptionResult {
public:
    TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments, std::string language,
                        TranscriptionTimings timings, std::optional<float> seekTime = std::nullopt);
    virtual ~TranscriptionResult() = default;
    TranscriptionResult(const TranscriptionResult&) = delete;
    TranscriptionResult& operator=(const TranscriptionResult&) = delete;

    std::string text() const { return text_.get(); }
    void setText(std::string value) { text_.set(std::move(value)); }
    template <class Change> void modifyText(Change&& change) { text_.modify(std::forward<Change>(change)); }

    std::vector<TranscriptionSegment> segments() const { return segments_.get(); }
    void setSegments(std::vector<TranscriptionSegment> value) { segments_.set(std::move(value)); }
    template <class Change> void modifySegments(Change&& change) { segments_.modify(std::forward<Change>(change)); }

    std::string language() const { return language_.get(); }
    void setLanguage(std::string value) { language_.set(std::move(value)); }
    template <class Change> void modifyLanguage(Change&& change) { language_.modify(std::forward<Change>(change)); }

    TranscriptionTimings timings() const { return timings_.get(); }
    void setTimings(TranscriptionTimings value) { timings_.set(std::move(value)); }
    template <class Change> void modifyTimings(Change&& change) { timings_.modify(std::forward<Change>(change)); }

    std::optional<float> seekTime() const { return seekTime_.get(); }
    void setSeekTime(std::optional<float> value) { seekTime_.set(value); }
    template <class Change> void modifySeekTime(Change&& change) { seekTime_.modify(std::forward<Change>(change)); }

    // Every word timing of every segment that has words, in order.
    std::vector<WordTiming> allWords() const;
    // One debug line per segment: "[Segment <i>] [<start %.2f> --> <end %.2f>] <text>".
    void logSegments() const;
    // The timing report (timingReport) of timings() and the segments' token count, at info level.
    void logTimings() const;

    // Keys "text", "segments", "language", "timings", "seekTime" (null when absent), each read
    // under its own lock. Throws EncodingError for a non-finite float.
    Json toJSON() const;
    // All five keys required; "seekTime" may be null. Throws DecodingError.
    static std::shared_ptr<TranscriptionResult> fromJSON(const Json& j);

private:
    template <class Value>
    class Locked {
    public:
        explicit Locked(Value v) : value_(std::move(v)) {}
        Value get() const {
            std::lock_guard guard(mutex_);
            return value_;
        }
        void set(Value v) {
            std::lock_guard guard(mutex_);
            value_ = std::move(v);
        }
        template <class Change>
        void modify(Change&& change) {
            std::lock_guard guard(mutex_);
            std::forward<Change>(change)(value_);
        }

    private:
        mutable std::mutex mutex_;
        Value value_;  // guarded by mutex_
    };

    Locked<std::string> text_;
    Locked<std::vector<TranscriptionSegment>> segments_;
    Locked<std::string> language_;
    Locked<TranscriptionTimings> timings_;
    Locked<std::optional<float>> seekTime_;
};

}  // namespace zadezariro

// Equal values hash alike (0.0 and -0.0 included).
template <>
struct std::hash<zadezariro::WordTiming> {
    std::size_t operator()(const zadezariro::WordTiming& word) const noexcept;
};
template <>
struct std::hash<zadezariro::TranscriptionSegment> {
    std::size_t operator()(const zadezariro::TranscriptionSegment& segment) const noexcept;
};
