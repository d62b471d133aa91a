#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <numeric>

#include "DaroriCore/Logging.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

namespace {

constexpr float TIME_PRECISION = 0.02f;
constexpr float FLOAT_SAMPLE_RATE = 16000.0f;

std::vector<int> toInts(const std::vector<std::int64_t>& ids) { return {ids.begin(), ids.end()}; }

float roundTwo(float value) { return std::round(value * 100.0f) / 100.0f; }

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trimmed(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && isSpace(text[first])) ++first;
    while (last > first && isSpace(text[last - 1])) --last;
    return text.substr(first, last - first);
}

bool containedIn(const std::string& text, const std::string& punctuation) { return punctuation.find(text) != std::string::npos; }

bool isSentenceEnd(const std::string& text) {
    static const std::vector<std::string> marks = {".", "\u3002", "!", "\uff01", "?", "\uff1f"};
    return std::find(marks.begin(), marks.end(), text) != marks.end();
}

WordTiming joined(const WordTiming& first, const WordTiming& second, const WordTiming& timing) {
    WordTiming word = timing;
    word.word = first.word + second.word;
    word.tokens = first.tokens;
    word.tokens.insert(word.tokens.end(), second.tokens.begin(), second.tokens.end());
    return word;
}

}  // namespace

// MARK: - Segments and seek point

std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& result, const DecodingOptions& options, std::int64_t allSegmentsCount, std::int64_t currentSeek,
    std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken, std::int64_t, const WhisperTokenizer& tokenizer) {
    // Whatever the tokens say, the next window starts after this one's first sample.
    const std::int64_t fullWindow = currentSeek + std::max<std::int64_t>(segmentSize, 1);
    auto forward = [&](std::int64_t seekPoint) { return seekPoint > currentSeek ? seekPoint : fullWindow; };

    if (options.noSpeechThreshold && result.noSpeechProb > *options.noSpeechThreshold &&
        !(options.logProbThreshold && result.avgLogProb > *options.logProbThreshold))
        return {fullWindow, std::nullopt};

    const auto& tokens = result.tokens;
    const size_t n = tokens.size();
    std::vector<bool> isTimestamp(n);
    for (size_t i = 0; i < n; ++i) isTimestamp[i] = tokens[i] >= timeToken;
    const bool singleTimestampEnding = n >= 3 && !isTimestamp[n - 3] && isTimestamp[n - 2] && !isTimestamp[n - 1];
    const bool noTimestampEnding = n >= 3 && !isTimestamp[n - 3] && !isTimestamp[n - 2] && !isTimestamp[n - 1];

    std::vector<size_t> cuts;
    for (size_t i = 1; i < n; ++i)
        if (isTimestamp[i] && isTimestamp[i - 1]) cuts.push_back(i);

    const float offset = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);
    const auto specialBegin = tokenizer.specialTokens().specialTokenBegin;
    auto segmentText = [&](const std::vector<std::int64_t>& slice) {
        if (!options.skipSpecialTokens) return tokenizer.decode(toInts(slice));
        std::vector<std::int64_t> text;
        for (auto token : slice)
            if (token < specialBegin) text.push_back(token);
        return tokenizer.decode(toInts(text));
    };
    auto makeSegment = [&](std::int64_t id, size_t from, size_t to, float start, float end) {
        TranscriptionSegment segment;
        segment.id = id;
        segment.seek = currentSeek;
        segment.start = start;
        segment.end = end;
        segment.tokens.assign(tokens.begin() + static_cast<std::ptrdiff_t>(from), tokens.begin() + static_cast<std::ptrdiff_t>(to));
        const size_t logTo = std::min(to, result.tokenLogProbs.size());
        if (from < logTo)
            segment.tokenLogProbs.assign(result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(from),
                                         result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(logTo));
        segment.text = segmentText(segment.tokens);
        segment.temperature = result.temperature;
        segment.avgLogprob = result.avgLogProb;
        segment.compressionRatio = result.compressionRatio;
        segment.noSpeechProb = result.noSpeechProb;
        return segment;
    };

    std::vector<TranscriptionSegment> segments;
    if (!cuts.empty()) {
        if (singleTimestampEnding)
            cuts.push_back(n - 1);  // just after the last timestamp
        else if (noTimestampEnding)
            cuts.push_back(n);
        size_t previous = 0;
        for (size_t cut : cuts) {
            std::optional<std::int64_t> first, last;
            for (size_t i = previous; i < cut; ++i)
                if (isTimestamp[i]) {
                    if (!first) first = tokens[i];
                    last = tokens[i];
                }
            const float start = offset + static_cast<float>(first.value_or(timeToken) - timeToken) * TIME_PRECISION;
            const float end = offset + static_cast<float>(last.value_or(timeToken) - timeToken) * TIME_PRECISION;
            segments.push_back(makeSegment(allSegmentsCount + static_cast<std::int64_t>(segments.size()), previous, cut, start, end));
            previous = cut;
        }
        if (noTimestampEnding) return {fullWindow, segments};
        const size_t lastCut = cuts.back();
        const std::int64_t T = singleTimestampEnding ? tokens[lastCut - 1] : tokens[lastCut];
        const float samples = static_cast<float>(T - timeToken) * TIME_PRECISION * static_cast<float>(sampleRate);
        return {forward(currentSeek + static_cast<std::int64_t>(samples)), segments};
    }

    std::optional<std::int64_t> lastTimestamp;
    for (auto token : tokens)
        if (token > timeToken) lastTimestamp = token;
    const float duration = lastTimestamp ? static_cast<float>(*lastTimestamp - timeToken) * TIME_PRECISION
                                         : static_cast<float>(segmentSize) / static_cast<float>(sampleRate);
    segments.push_back(makeSegment(allSegmentsCount, 0, n, offset, offset + duration));
    return {fullWindow, segments};
}

// MARK: - Alignment

SegmentSeeker::Path SegmentSeeker::backtrace(const std::vector<std::int8_t>& trace, std::int64_t rows, std::int64_t columns) {
    Path path;
    std::int64_t i = rows, j = columns;
    const std::int64_t width = columns + 1;
    while (i > 0 || j > 0) {
        path.textIndices.push_back(i - 1);
        path.timeIndices.push_back(j - 1);
        switch (trace[static_cast<size_t>(i * width + j)]) {
            case 0: --i, --j; break;
            case 1: --i; break;
            case 2: --j; break;
            default: i = 0, j = 0; break;  // unreachable for a trace made by dynamicTimeWarping
        }
        if (i < 0 || j < 0) break;
    }
    std::reverse(path.textIndices.begin(), path.textIndices.end());
    std::reverse(path.timeIndices.begin(), path.timeIndices.end());
    return path;
}

SegmentSeeker::Path SegmentSeeker::dynamicTimeWarping(const mlruntime::MultiArray& matrix) const {
    if (matrix.rank() != 2 || matrix.shape()[0] < 1 || matrix.shape()[1] < 1)
        throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
    const std::int64_t N = matrix.shape()[0], M = matrix.shape()[1];
    const std::vector<float> w = matrix.toFloats();
    const std::int64_t width = M + 1;
    std::vector<double> cost(static_cast<size_t>((N + 1) * width), std::numeric_limits<double>::infinity());
    std::vector<std::int8_t> trace(static_cast<size_t>((N + 1) * width), -1);
    cost[0] = 0;
    for (std::int64_t j = 1; j <= M; ++j) trace[static_cast<size_t>(j)] = 2;
    for (std::int64_t i = 1; i <= N; ++i) trace[static_cast<size_t>(i * width)] = 1;
    for (std::int64_t i = 1; i <= N; ++i)
        for (std::int64_t j = 1; j <= M; ++j) {
            const double c0 = cost[static_cast<size_t>((i - 1) * width + j - 1)];
            const double c1 = cost[static_cast<size_t>((i - 1) * width + j)];
            const double c2 = cost[static_cast<size_t>(i * width + j - 1)];
            const double x = static_cast<double>(w[static_cast<size_t>((i - 1) * M + j - 1)]);
            double c;
            std::int8_t t;
            if (c0 < c1 && c0 < c2) c = c0, t = 0;
            else if (c1 < c0 && c1 < c2) c = c1, t = 1;
            else c = c2, t = 2;
            cost[static_cast<size_t>(i * width + j)] = c - x;
            trace[static_cast<size_t>(i * width + j)] = t;
        }
    return backtrace(trace, N, M);
}

std::vector<WordTiming> SegmentSeeker::findAlignment(const std::vector<std::int64_t>& wordTokenIds,
                                                     const mlruntime::MultiArray& alignmentWeights,
                                                     const std::vector<float>& tokenLogProbs, const WhisperTokenizer& tokenizer) const {
    const Path path = dynamicTimeWarping(alignmentWeights);
    const auto [words, wordTokens] = tokenizer.splitToWordTokens(toInts(wordTokenIds));
    if (words.size() <= 1) return {};

    std::vector<float> startTimes{0.0f}, endTimes;
    for (size_t k = 1; k < path.textIndices.size(); ++k)
        if (path.textIndices[k] != path.textIndices[k - 1]) {
            const float time = static_cast<float>(path.timeIndices[k]) * TIME_PRECISION;
            startTimes.push_back(time);
            endTimes.push_back(time);
        }
    endTimes.push_back(path.timeIndices.empty() ? 1500.0f * TIME_PRECISION
                                                : static_cast<float>(path.timeIndices.back()) * TIME_PRECISION);

    auto at = [](const std::vector<float>& times, size_t index) { return times[std::min(index, times.size() - 1)]; };
    std::vector<WordTiming> timings;
    size_t h = 0;
    for (size_t w = 0; w < words.size(); ++w) {
        const size_t count = wordTokens[w].size();
        WordTiming word;
        word.word = words[w];
        word.tokens.assign(wordTokens[w].begin(), wordTokens[w].end());
        word.start = at(startTimes, h);
        word.end = at(endTimes, count > 0 ? h + count - 1 : h);
        double sum = 0;
        size_t used = 0;
        for (size_t k = h; k < h + count && k < tokenLogProbs.size(); ++k, ++used) sum += tokenLogProbs[k];
        word.probability = static_cast<float>(std::exp(used > 0 ? sum / static_cast<double>(used) : 0.0));
        timings.push_back(std::move(word));
        h += count;
    }
    return timings;
}

std::pair<float, float> SegmentSeeker::calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) {
    std::vector<float> durations;
    for (const auto& word : alignment)
        if (word.end - word.start > 0) durations.push_back(word.end - word.start);
    std::sort(durations.begin(), durations.end());
    float median = durations.empty() ? 0.0f : durations[durations.size() / 2];
    median = std::min(median, 0.7f);
    return {median, 2.0f * median};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(std::vector<WordTiming> alignment, float maxDuration) {
    if (alignment.size() < 2) return alignment;
    for (size_t i = 1; i < alignment.size(); ++i) {
        auto& word = alignment[i];
        if (word.end - word.start <= maxDuration) continue;
        if (isSentenceEnd(word.word))
            word.end = word.start + maxDuration;
        else if (isSentenceEnd(alignment[i - 1].word))
            word.start = word.end - maxDuration;
    }
    return alignment;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment, const std::string& prepended,
                                                         const std::string& appended) {
    // Prepending: a mark that begins with a space joins the next word, timed as that word;
    // consecutive marks gather in front of the same word. A first word that is a mark is not kept
    // on its own.
    auto opensNext = [&](const WordTiming& word) {
        return !word.word.empty() && isSpace(word.word[0]) && containedIn(trimmed(word.word), prepended);
    };
    std::vector<WordTiming> prependedWords;
    for (size_t i = 0; i < alignment.size(); ++i) {
        const auto& word = alignment[i];
        if (i == 0) {
            if (!containedIn(trimmed(word.word), prepended)) prependedWords.push_back(word);
        } else if (!opensNext(alignment[i - 1])) {
            prependedWords.push_back(word);
        } else if (prependedWords.empty()) {
            prependedWords.push_back(joined(alignment[i - 1], word, word));  // the first word was the mark
        } else {
            prependedWords.back() = joined(prependedWords.back(), word, word);  // the last kept word ends with the mark
        }
    }

    // Appending: a closing mark joins the word before it (after any marks already joined to it),
    // timed as that word.
    std::vector<WordTiming> merged;
    for (const auto& word : prependedWords) {
        const bool closes = !merged.empty() && (merged.back().word.empty() || merged.back().word.back() != ' ') &&
                            containedIn(trimmed(word.word), appended);
        if (closes)
            merged.back() = joined(merged.back(), word, merged.back());
        else
            merged.push_back(word);
    }

    std::vector<WordTiming> kept;
    for (auto& word : merged)
        if (!word.word.empty() && !containedIn(word.word, appended) && !containedIn(word.word, prepended)) kept.push_back(std::move(word));
    return kept;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& merged, std::int64_t seek,
    float lastSpeechTimestamp, float median, float maxDuration, const WhisperTokenizer& tokenizer) {
    const auto specialBegin = tokenizer.specialTokens().specialTokenBegin;
    const float seekTime = static_cast<float>(seek) / FLOAT_SAMPLE_RATE;
    float lastSpeech = lastSpeechTimestamp;
    size_t cursor = 0;
    std::optional<float> previousSegmentEnd;
    std::vector<TranscriptionSegment> output;

    for (const auto& original : segments) {
        TranscriptionSegment segment = original;
        size_t textTokenCount = 0;
        for (auto token : segment.tokens)
            if (token < specialBegin) ++textTokenCount;
        std::vector<WordTiming> words;
        size_t taken = 0;
        while (taken < textTokenCount && cursor < merged.size()) {
            const WordTiming& source = merged[cursor++];
            std::vector<std::int64_t> textTokens;
            for (auto token : source.tokens)
                if (token < specialBegin) textTokens.push_back(token);
            if (textTokens.empty()) continue;
            taken += textTokens.size();
            WordTiming word;
            word.word = textTokens.size() == source.tokens.size() ? source.word : tokenizer.decode(toInts(textTokens));
            word.tokens = textTokens;
            word.start = roundTwo(seekTime + source.start);
            word.end = roundTwo(seekTime + source.end);
            const std::optional<float> referenceEnd = words.empty() ? previousSegmentEnd : std::optional<float>(words.back().end);
            if (word.end - word.start < 0.25f * median && referenceEnd && *referenceEnd < word.start)
                word.start = roundTwo(word.start - std::min(0.5f * median, word.start - *referenceEnd));
            word.probability = roundTwo(source.probability);
            words.push_back(std::move(word));
        }

        if (words.empty()) {
            segment.words = std::vector<WordTiming>{};
            previousSegmentEnd = segment.end;
            output.push_back(std::move(segment));
            continue;
        }

        WordTiming& first = words.front();
        if (words.size() == 1) {
            if (first.end - lastSpeech > 4 * median && first.end - first.start > maxDuration)
                first.start = std::max(lastSpeech, first.end - maxDuration);
        } else {
            WordTiming& second = words[1];
            if (first.end - lastSpeech > 4 * median &&
                (second.end - first.start > 2 * maxDuration || first.end - first.start > maxDuration)) {
                if (second.end - second.start > maxDuration) {
                    const float boundary = std::max(second.end * 0.5f, second.end - maxDuration);
                    first.end = boundary;
                    second.start = boundary;
                }
                first.start = std::max(lastSpeech, first.end - maxDuration);
            }
        }

        if (segment.start < first.end && first.start < segment.start - 0.5f)
            first.start = std::max(0.0f, std::min(segment.start, first.end - median));
        else
            segment.start = first.start;

        WordTiming& last = words.back();
        if (last.start < segment.end && last.end > segment.end + 0.5f)
            last.end = std::max(segment.end, last.start + median);
        else
            segment.end = last.end;

        lastSpeech = segment.end;
        previousSegmentEnd = segment.end;
        segment.words = std::move(words);
        output.push_back(std::move(segment));
    }
    return output;
}

std::vector<TranscriptionSegment> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const mlruntime::MultiArray& alignmentWeights,
    const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t, const std::string& prependPunctuations,
    const std::string& appendPunctuations, float lastSpeechTimestamp, const DecodingOptions&, const TranscriptionTimings&,
    std::int64_t windowTokenOffset) {
    std::vector<std::int64_t> wordTokenIds, rows;
    std::vector<float> logProbs;
    std::int64_t position = 0;
    for (const auto& segment : segments)
        for (size_t i = 0; i < segment.tokens.size(); ++i, ++position) {
            const auto token = segment.tokens[i];
            wordTokenIds.push_back(token);
            rows.push_back(windowTokenOffset + position);
            if (i < segment.tokenLogProbs.size())
                if (auto found = segment.tokenLogProbs[i].find(token); found != segment.tokenLogProbs[i].end())
                    logProbs.push_back(found->second);
        }

    if (alignmentWeights.rank() < 1 || alignmentWeights.shape().back() < 1)
        throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
    if (wordTokenIds.empty()) return segments;
    const std::int64_t columns = alignmentWeights.shape().back();
    const std::int64_t rowCount = columns > 0 ? alignmentWeights.count() / columns : 0;
    const std::vector<float> weights = alignmentWeights.toFloats();
    mlruntime::MultiArray matrix({static_cast<std::int64_t>(rows.size()), columns}, alignmentWeights.dataType());
    for (size_t k = 0; k < rows.size(); ++k) {
        if (rows[k] < 0 || rows[k] >= rowCount) continue;  // a token without weights keeps a zero row
        for (std::int64_t c = 0; c < columns; ++c)
            matrix.setValue(static_cast<std::int64_t>(k) * columns + c, mlruntime::Half(weights[static_cast<size_t>(rows[k] * columns + c)]).toFloat());
    }
    darori::Logging::debug("Alignment weights shape: [" + std::to_string(rows.size()) + ", " + std::to_string(columns) + "]");

    const auto alignment = findAlignment(wordTokenIds, matrix, logProbs, tokenizer);
    const auto [median, maxDuration] = calculateWordDurationConstraints(alignment);
    auto words = truncateLongWordsAtSentenceBoundaries(alignment, maxDuration);
    if (!words.empty()) words = mergePunctuations(words, prependPunctuations, appendPunctuations);
    return updateSegmentsWithWordTimings(segments, words, seek, lastSpeechTimestamp, median, maxDuration, tokenizer);
}

}  // namespace zadezariro
