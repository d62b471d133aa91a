#include "Talkweft/Clipboard.hpp"

#include <optional>

#include "Platform/Platform.hpp"
#include "Talkweft/Log.hpp"

namespace talkweft::Clipboard {

namespace pf = talkweft::platform;

namespace {

constexpr double SETTLE_SECONDS = 0.12;
constexpr double RESTORE_SECONDS = 0.6;
// After the restore delay, the longest wait for the target to read the pasted text, and how often
// the pasteboard is asked meanwhile.
constexpr double FETCH_WAIT_SECONDS = 3.0;
constexpr double FETCH_CHECK_SECONDS = 0.05;

// Pending-restore state: idle (nothing saved, no timer) -> pasting (saved) -> restore pending
// (timer) -> idle.
struct State {
    std::uint64_t generation = 0;
    std::optional<std::vector<pf::PasteboardItem>> saved;
    std::optional<pf::TimerId> restoreTask;
    pf::TimePoint fetchDeadline{};
};

State& state() {
    static State s;
    // A new platform: the old one's pending restore belongs to a loop that is gone.
    if (s.generation != pf::currentGeneration()) s = State{pf::currentGeneration(), std::nullopt, std::nullopt, {}};
    return s;
}

void cancelRestore(State& s) {
    if (s.restoreTask) pf::current().loop->cancelTimer(*s.restoreTask);
    s.restoreTask.reset();
}

void restore() {
    State& s = state();
    s.restoreTask.reset();
    if (!s.saved) return;
    std::vector<pf::PasteboardItem> items = std::move(*s.saved);
    s.saved.reset();
    pf::Pasteboard& pb = *pf::current().pasteboard;
    pb.clear();
    if (!items.empty()) pb.writeItems(items);
}

// The user's items come back only once the target has read the pasted text (so it never pastes
// them instead); a target that never reads it is given up on after a bounded wait, and the user's
// items replace our text all the same.
void restoreWhenFetched() {
    State& s = state();
    s.restoreTask.reset();
    if (!s.saved) return;
    pf::Platform& platform = pf::current();
    if (!platform.pasteboard->contentsFetched()) {
        if (platform.loop->now() < s.fetchDeadline) {
            s.restoreTask = platform.loop->addTimer(pf::seconds(FETCH_CHECK_SECONDS), [] { restoreWhenFetched(); });
            return;
        }
        Log::write("clipboard: the pasted text was not read by the target; the clipboard is put back");
    }
    restore();
}

}  // namespace

std::vector<pf::PasteboardItem> copyItems(pf::Pasteboard& pasteboard) {
    std::vector<pf::PasteboardItem> out;
    const std::size_t count = pasteboard.itemCount();
    for (std::size_t i = 0; i < count; ++i) {
        pf::PasteboardItem item;
        for (const auto& type : pasteboard.types(i)) {
            if (auto bytes = pasteboard.data(i, type)) item.entries.emplace_back(type, std::move(*bytes));
        }
        out.push_back(std::move(item));
    }
    return out;
}

bool paste(const std::string& text) {
    pf::Platform& platform = pf::current();
    pf::Pasteboard& pb = *platform.pasteboard;
    State& s = state();
    cancelRestore(s);
    if (!s.saved) s.saved = copyItems(pb);

    pb.clear();
    pf::PasteboardItem item;
    item.entries = {{std::string(pf::PASTEBOARD_PLAIN_TEXT), text},
                    {std::string(pf::PASTEBOARD_TRANSIENT), std::string()},
                    {std::string(pf::PASTEBOARD_AUTO_GENERATED), std::string()}};
    if (!pb.writeItems({item})) {
        // Posting now would paste whatever is left on the pasteboard: give the user's items back.
        restore();
        return false;
    }

    const bool posted = platform.keys != nullptr &&
                        platform.keys->post({{pf::KEY_V, true, pf::FLAG_COMMAND}, {pf::KEY_V, false, pf::FLAG_COMMAND}});

    platform.loop->sleepFor(pf::seconds(SETTLE_SECONDS));

    State& after = state();  // the loop ran meanwhile; read the state afresh
    cancelRestore(after);
    after.fetchDeadline = platform.loop->now() + pf::seconds(RESTORE_SECONDS + FETCH_WAIT_SECONDS);
    after.restoreTask = platform.loop->addTimer(pf::seconds(RESTORE_SECONDS), [] { restoreWhenFetched(); });
    return posted;
}

void copy(const std::string& text) {
    State& s = state();
    cancelRestore(s);
    s.saved.reset();
    pf::Pasteboard& pb = *pf::current().pasteboard;
    pb.clear();
    pf::PasteboardItem item;
    item.entries = {{std::string(pf::PASTEBOARD_PLAIN_TEXT), text}};
    pb.writeItems({item});
}

}  // namespace talkweft::Clipboard
