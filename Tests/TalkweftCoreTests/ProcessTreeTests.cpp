#include "TalkweftCore/ProcessTree.hpp"

#include <string>

#include <gtest/gtest.h>

namespace talkweft {
namespace {

// A process may name itself anything, parentheses and blanks included: only the last ')' ends it.
TEST(ProcessTree, StatLines) {
    const struct {
        std::string line;
        std::optional<ProcessEntry> entry;
    } cases[] = {
        {"4242 (sleep) S 17 4242 4242 0 -1 4194560", ProcessEntry{4242, 17, 'S'}},
        {"7 (a) Z 1 (b) R 99) Z 3 7 7", ProcessEntry{7, 3, 'Z'}},
        {"8 (two words) R 1", ProcessEntry{8, 1, 'R'}},
        {"9 () S 2 x", ProcessEntry{9, 2, 'S'}},
        {"10 (x) S", std::nullopt},
        {"10 (x) S -1 0", std::nullopt},
        {"(x) S 1 0", std::nullopt},
        {"1x (x) S 1 0", std::nullopt},
        {"12 (x", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto entry = parseProcessStat(c.line);
        ASSERT_EQ(entry.has_value(), c.entry.has_value());
        if (!entry) continue;
        EXPECT_EQ(entry->pid, c.entry->pid);
        EXPECT_EQ(entry->parent, c.entry->parent);
        EXPECT_EQ(entry->state, c.entry->state);
    }
}

// A run's mark matches whole entries only: run 1 is not run 10, and a value is not a name.
TEST(ProcessTree, EnvironmentEntries) {
    using namespace std::string_literals;
    const std::string env = "HOME=/h\0TALKWEFT_RUN=5.10\0X=TALKWEFT_RUN=5.1\0LAST=1"s;
    EXPECT_TRUE(environmentHasEntry(env, "TALKWEFT_RUN=5.10"));
    EXPECT_TRUE(environmentHasEntry(env, "LAST=1"));
    EXPECT_FALSE(environmentHasEntry(env, "TALKWEFT_RUN=5.1"));
    EXPECT_FALSE(environmentHasEntry(env, "HOME=/"));
    EXPECT_FALSE(environmentHasEntry("", "HOME=/h"));
}

TEST(ProcessTree, DescendantsFollowParentLinks) {
    const std::vector<ProcessEntry> processes = {{1, 0, 'S'}, {10, 1, 'S'}, {11, 10, 'S'}, {12, 11, 'Z'},
                                                 {20, 1, 'S'}, {21, 20, 'S'}};
    EXPECT_EQ(withDescendants(processes, {10}), (std::set<pid_t>{10, 11, 12}));
    EXPECT_EQ(withDescendants(processes, {11, 21}), (std::set<pid_t>{11, 12, 21}));
    EXPECT_EQ(withDescendants(processes, {}), std::set<pid_t>{});
}

}  // namespace
}  // namespace talkweft
