// Text paths that run on the main thread with a whole field as input: canonical equivalence and the
// search for an agent's find text (calcEditRange). Each is measured on a hostile field (one run of
// combining marks in reverse canonical order, or one repeated letter) and on ordinary accented
// prose, beside utf8proc's own normalization (and, for the search, a Boyer-Moore-Horspool search
// over its output) doing the same work in the same run. Sizes are field bytes.
//
// Run with --benchmark_repetitions=N --benchmark_report_aggregates_only=true for medians.
#include <benchmark/benchmark.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "TalkweftCore/TextOps.hpp"
#include "Unicode/Unicode.hpp"

namespace {

const std::string ACUTE = "\xCC\x81";       // U+0301, combining class 230
const std::string DOT_BELOW = "\xCC\xA3";   // U+0323, combining class 220

// "e" and then `bytes` of two-byte marks, the upper-class half first: canonical order must move every
// mark of the second half in front of the whole first half.
std::string reverseOrderedMarks(std::size_t bytes) {
    std::string s = "e";
    const std::size_t marks = bytes / 2;
    for (std::size_t i = 0; i < marks / 2; ++i) s += ACUTE;
    for (std::size_t i = marks / 2; i < marks; ++i) s += DOT_BELOW;
    return s;
}

// The same text with the marks already in canonical order (what the other side of a comparison
// usually holds).
std::string orderedMarks(std::size_t bytes) {
    std::string s = "e";
    const std::size_t marks = bytes / 2;
    for (std::size_t i = marks / 2; i < marks; ++i) s += DOT_BELOW;
    for (std::size_t i = 0; i < marks / 2; ++i) s += ACUTE;
    return s;
}

// Ordinary text with composed and decomposed accents.
std::string prose(std::size_t bytes) {
    const std::string sentence = "Voil\xC3\xA0 le caf\xC3\xA9 cr\xC3\xA8me, na\xC3\xAF" "ve re\xCC\x81sum\xC3\xA9 of the day. ";
    std::string s;
    while (s.size() < bytes) s += sentence;
    return s;
}

std::string utf8procNFD(const std::string& s) {
    utf8proc_uint8_t* out = nullptr;
    const utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                                            static_cast<utf8proc_ssize_t>(s.size()), &out,
                                            static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> guard(out, &std::free);
    return n < 0 ? std::string() : std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

void setBytes(benchmark::State& state, std::size_t perIteration) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * perIteration));
}

void BM_CanonicallyEqual_ReverseMarks(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const std::string a = reverseOrderedMarks(bytes), b = orderedMarks(bytes);
    for (auto _ : state) benchmark::DoNotOptimize(unicode::canonicallyEqual(a, b));
    if (!unicode::canonicallyEqual(a, b)) state.SkipWithError("not equal");
    setBytes(state, a.size() + b.size());
}

void BM_Reference_UTF8procNFD_ReverseMarks(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const std::string a = reverseOrderedMarks(bytes), b = orderedMarks(bytes);
    for (auto _ : state) benchmark::DoNotOptimize(utf8procNFD(a) == utf8procNFD(b));
    setBytes(state, a.size() + b.size());
}

void BM_CanonicallyEqual_Prose(benchmark::State& state) {
    const std::string a = prose(static_cast<std::size_t>(state.range(0)));
    const std::string b = unicode::nfc(a);
    for (auto _ : state) benchmark::DoNotOptimize(unicode::canonicallyEqual(a, b));
    setBytes(state, a.size() + b.size());
}

void BM_Reference_UTF8procNFD_Prose(benchmark::State& state) {
    const std::string a = prose(static_cast<std::size_t>(state.range(0)));
    const std::string b = unicode::nfc(a);
    for (auto _ : state) benchmark::DoNotOptimize(utf8procNFD(a) == utf8procNFD(b));
    setBytes(state, a.size() + b.size());
}

void BM_CalcEditRange_ReverseMarks(benchmark::State& state) {
    const std::string text = reverseOrderedMarks(static_cast<std::size_t>(state.range(0)));
    const std::string find = "e" + DOT_BELOW;
    for (auto _ : state) benchmark::DoNotOptimize(talkweft::calcEditRange(text, find, 0));
    setBytes(state, text.size());
}

// A field of one repeated letter and a find text that matches everywhere but at its first letter:
// the worst case of a Boyer-Moore-Horspool search, linear here.
void BM_CalcEditRange_RepeatedLetter(benchmark::State& state) {
    const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
    const std::string find = "b" + std::string(4095, 'a');
    for (auto _ : state) benchmark::DoNotOptimize(talkweft::calcEditRange(text, find, 0));
    setBytes(state, text.size());
}

void BM_Reference_UTF8procNFDHorspool_RepeatedLetter(benchmark::State& state) {
    const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
    const std::string find = "b" + std::string(4095, 'a');
    for (auto _ : state) {
        const std::string t = utf8procNFD(text), f = utf8procNFD(find);
        const std::boyer_moore_horspool_searcher searcher(f.begin(), f.end());
        std::size_t hits = 0;
        for (auto from = t.begin();; ++from) {
            from = std::search(from, t.end(), searcher);
            if (from == t.end()) break;
            ++hits;
        }
        benchmark::DoNotOptimize(hits);
    }
    setBytes(state, text.size());
}

void BM_CalcEditRange_Prose(benchmark::State& state) {
    const std::string text = prose(static_cast<std::size_t>(state.range(0)));
    const std::string find = "cafe\xCC\x81 cre\xCC\x80me";
    for (auto _ : state) benchmark::DoNotOptimize(talkweft::calcEditRange(text, find, 0));
    setBytes(state, text.size());
}

constexpr int KB = 1024;

}  // namespace

BENCHMARK(BM_CanonicallyEqual_ReverseMarks)->Arg(8 * KB)->Arg(32 * KB)->Arg(128 * KB)->Unit(benchmark::kMillisecond);
// Quadratic: 128 KB takes tens of seconds, so the reference stops at 32 KB.
BENCHMARK(BM_Reference_UTF8procNFD_ReverseMarks)->Arg(8 * KB)->Arg(32 * KB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CanonicallyEqual_Prose)->Arg(128 * KB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference_UTF8procNFD_Prose)->Arg(128 * KB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalcEditRange_ReverseMarks)->Arg(8 * KB)->Arg(32 * KB)->Arg(128 * KB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalcEditRange_RepeatedLetter)->Arg(32 * KB)->Arg(128 * KB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference_UTF8procNFDHorspool_RepeatedLetter)->Arg(32 * KB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalcEditRange_Prose)->Arg(128 * KB)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
