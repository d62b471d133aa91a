#include "DaroriCore/ProcessInfo.hpp"
#include "DaroriCore/SentenceBoundaries.hpp"
#include "DaroriCore/TextHelpers.hpp"

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

using namespace darori;

namespace {
// One token per blank-separated word.
std::vector<int> words(const std::string& s) {
    std::vector<int> out;
    bool inWord = false;
    for (char c : s) {
        if (c == ' ' || c == '\n') inWord = false;
        else if (!inWord) inWord = true, out.push_back(0);
    }
    return out;
}
const std::string DECOMPOSED_E_ACUTE = "e\xCC\x81";
}  // namespace

TEST(TextHelpers, TrimmingFromEnd) {
    EXPECT_EQ(trimmingFromEnd("ab   ", " ", 2), "ab ");
    EXPECT_EQ(trimmingFromEnd("ab   ", " ", 0), "ab   ");
    EXPECT_EQ(trimmingFromEnd("   ", " ", 5), "");
    EXPECT_EQ(trimmingFromEnd("models/", "/", 1), "models");
    // Characters compare whole: a trailing e + accent is not an "e".
    EXPECT_EQ(trimmingFromEnd("x" + DECOMPOSED_E_ACUTE, "e", 3), "x" + DECOMPOSED_E_ACUTE);
    EXPECT_EQ(trimmingFromEnd("x" + DECOMPOSED_E_ACUTE + DECOMPOSED_E_ACUTE, DECOMPOSED_E_ACUTE, 1), "x" + DECOMPOSED_E_ACUTE);
    // Characters compare by canonical equivalence: a precomposed é matches e + accent.
    EXPECT_EQ(trimmingFromEnd("x\xC3\xA9\xC3\xA9", DECOMPOSED_E_ACUTE, 5), "x");
}

TEST(TextHelpers, RoundsHalvesAwayFromZero) {
    EXPECT_FLOAT_EQ(rounded(3.14159f, 2), 3.14f);
    EXPECT_EQ(rounded(2.5f, 0), 3.0f);
    EXPECT_EQ(rounded(-2.5f, 0), -3.0f);
    EXPECT_FLOAT_EQ(rounded(1.005f, 1), 1.0f);
}

TEST(TextHelpers, ResolvesAbsolutePaths) {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    if (!home.empty()) {
        EXPECT_EQ(resolveAbsolutePath("~/models/x"), home + "/models/x");
    }
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(resolveAbsolutePath("rel/path"), (cwd == "/" ? "" : cwd) + "/rel/path");
    EXPECT_EQ(resolveAbsolutePath("/abs/path"), "/abs/path");
    EXPECT_EQ(resolveAbsolutePath("/abs/dir/"), "/abs/dir");
}

TEST(TextHelpers, SentenceRanges) {
    using R = std::vector<std::pair<std::size_t, std::size_t>>;
    EXPECT_EQ(text::sentenceRanges("Hi there. How are you? Fine"), (R{{0, 10}, {10, 23}, {23, 27}}));
    EXPECT_EQ(text::sentenceRanges("It costs 3.50 today, e.g. now."), (R{{0, 30}}));  // no break inside
    EXPECT_EQ(text::sentenceRanges("He said \"Go.\" Then left"), (R{{0, 14}, {14, 23}}));
    EXPECT_EQ(text::sentenceRanges("line one\nline two"), (R{{0, 9}, {9, 17}}));
    EXPECT_TRUE(text::sentenceRanges("").empty());
    // Long runs of blanks or closing marks take linear time, not quadratic.
    const std::string blanks = "Go." + std::string(300000, ' ') + "X";
    EXPECT_EQ(text::sentenceRanges(blanks), (R{{0, blanks.size() - 1}, {blanks.size() - 1, blanks.size()}}));
    const std::string closing = "Go!" + std::string(300000, ')') + " x";
    EXPECT_EQ(text::sentenceRanges(closing), (R{{0, closing.size() - 1}, {closing.size() - 1, closing.size()}}));
}

TEST(TextHelpers, LastNaturalBoundary) {
    // The unfinished last sentence is skipped.
    EXPECT_EQ(lastNaturalBoundary("One two three. Four five", 3, words), "One two three. ");
    // A finished last sentence is the first candidate: terminator, closing mark after it, line break.
    for (const char* whole : {"One two. Three four.", "One two. Three \"four.\"", "One two. Three four\n"}) {
        EXPECT_EQ(lastNaturalBoundary(whole, 1, words), whole);
    }
    // The finished sentence is too short: on to the word boundary.
    EXPECT_EQ(lastNaturalBoundary("A b. C d", 3, words), "A b. C");
    // Clause separators followed by white space or the end.
    EXPECT_EQ(lastNaturalBoundary("alpha beta, gamma;delta", 2, words), "alpha beta,");
    EXPECT_EQ(lastNaturalBoundary("alpha beta gamma -", 3, words), "alpha beta gamma -");
    // Word boundary: the part before the last blank.
    EXPECT_EQ(lastNaturalBoundary("alpha beta gamma", 2, words), "alpha beta");
    EXPECT_EQ(lastNaturalBoundary("alpha beta gamma", 3, words), std::nullopt);
    EXPECT_EQ(lastNaturalBoundary("", 0, words), std::nullopt);
}

TEST(ProcessInfo, ReadsTheMachine) {
    EXPECT_FALSE(ProcessInfo::hwModel().empty());  // the DMI product name or "unknown"
    EXPECT_EQ(&ProcessInfo::hwModel(), &ProcessInfo::hwModel());  // computed once
    EXPECT_GE(std::atoi(ProcessInfo::threads().c_str()), 1);
    EXPECT_EQ(ProcessInfo::stringFromSysctl("kernel.ostype"), "Linux");
    for (const char* bad : {"no.such.name", "../../etc/passwd", "kernel..ostype", "", "kernel/ostype"}) {
        EXPECT_EQ(ProcessInfo::stringFromSysctl(bad), "") << bad;
    }
}
