#include "DaroriCore/ConcurrencyUtilities.hpp"
#include "DaroriCore/DaroriCoreError.hpp"

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace darori;

TEST(DaroriCoreError, DescriptionIsTheMessage) {
    const auto e = DaroriCoreError::invalidConfiguration("x");
    EXPECT_EQ(e.errorDescription(), "x");
    EXPECT_STREQ(e.what(), "x");
    EXPECT_EQ(e.kind(), DaroriCoreError::Kind::invalidConfiguration);
}

TEST(ConcurrencyUtilities, ActiveProcessorCountIsPositive) {
    EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
}

TEST(UnfairLock, ErrorInsideWithLockReachesCallerAndFreesTheLock) {
    UnfairLock lock;
    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    // Free again: a second acquisition (also from another thread) succeeds.
    EXPECT_EQ(lock.withLock([] { return 7; }), 7);
    int seen = 0;
    std::thread([&] { seen = lock.withLock([] { return 3; }); }).join();
    EXPECT_EQ(seen, 3);
}

namespace {
struct Record {
    PropertyLock<std::string> name;
};
void to_json(nlohmann::json& j, const Record& r) { j = nlohmann::json{{"name", r.name}}; }
void from_json(const nlohmann::json& j, Record& r) { j.at("name").get_to(r.name); }
}  // namespace

TEST(PropertyLock, EncodesAndDecodesTheBareValue) {
    Record r{PropertyLock<std::string>("abc")};
    const nlohmann::json j = r;
    EXPECT_EQ(j.dump(), R"({"name":"abc"})");
    const Record back = j.get<Record>();
    EXPECT_EQ(back.name.get(), "abc");
    back.name.get();  // the fresh lock is free

    Record bad;
    bad.name.set("kept");
    EXPECT_THROW(nlohmann::json::parse(R"({"name":5})").get_to(bad), nlohmann::json::exception);
}

TEST(PropertyLock, CopiesCopyTheValueAndConcurrentWritesStayWhole) {
    PropertyLock<std::vector<int>> a(std::vector<int>{1, 2});
    PropertyLock<std::vector<int>> b = a;
    b.modify([](std::vector<int>& v) { v.push_back(3); });
    EXPECT_EQ(a.get().size(), 2u);
    EXPECT_EQ(b.get().size(), 3u);

    // Concurrent set/get never observe a torn value.
    PropertyLock<std::string> s("aaaa");
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) s.set(i % 2 ? "aaaa" : "bbbbbbbb");
    });
    for (int i = 0; i < 20000; ++i) {
        const std::string v = s.get();
        ASSERT_TRUE(v == "aaaa" || v == "bbbbbbbb") << v;
    }
    writer.join();
}

TEST(Protected, CopiesShareOneValue) {
    Protected<std::optional<int>> p;
    EXPECT_FALSE(p.get().has_value());
    Protected<std::optional<int>> q = p;
    q.set(5);
    EXPECT_EQ(p.get(), 5);
    p.modify([](std::optional<int>& v) { *v += 1; });
    EXPECT_EQ(q.get(), 6);
}

TEST(WeakSendableWrapper, ValueIsNullOnceTheObjectIsGone) {
    auto object = std::make_shared<int>(4);
    WeakSendableWrapper<int> weak(object);
    ASSERT_NE(weak.value(), nullptr);
    EXPECT_EQ(*weak.value(), 4);
    object.reset();
    EXPECT_EQ(weak.value(), nullptr);
    EXPECT_EQ(weak.value(), nullptr);
}

TEST(EarlyStopActor, FlagsPerRun) {
    EarlyStopActor actor;
    const UUID run = UUID::random(), other = UUID::random();
    EXPECT_NE(run, other);
    EXPECT_FALSE(actor.get(run));
    EXPECT_EQ(actor.remove(run), std::nullopt);
    actor.set(true, run);
    actor.set(false, other);
    EXPECT_TRUE(actor.get(run));
    EXPECT_EQ(actor.remove(run), true);
    EXPECT_FALSE(actor.get(run));
    EXPECT_EQ(actor.remove(other), false);
    EXPECT_EQ(run.uuidString().size(), 36u);
    EXPECT_EQ(run.uuidString()[14], '4');
}
