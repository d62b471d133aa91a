// The X11 CLIPBOARD as the pasteboard. X11 keeps clipboard data in the owning process: writing
// means owning the selection and answering other apps' requests from the event thread, for as long
// as no one else takes it. One item: the entries of the items written are served as targets
// (plain text as UTF8_STRING and the usual text aliases; other types under their own names).
// Contents marked transient or auto-generated carry the password-manager hint
// ("x-kde-passwordManagerHint" = "secret") so that clipboard managers do not keep them.
//
// Reading another owner's data converts the selection (INCR transfers included) and waits a
// bounded time for the answer; an owner that let a request time out is not asked again for a few
// seconds, so saving a hung app's clipboard costs one timeout, not one per target. Main thread
// (the serving runs on the event thread).
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Pasteboard.hpp"
#include "Platform/Linux/ClipboardTargets.hpp"
#include "Platform/Linux/XConnection.hpp"

namespace talkweft::platform::linuxdesktop {

class X11Pasteboard : public Pasteboard {
public:
    explicit X11Pasteboard(XEventThread& events, std::chrono::milliseconds readTimeout = std::chrono::milliseconds(1500));
    ~X11Pasteboard() override;

    std::size_t itemCount() override;
    std::vector<std::string> types(std::size_t index) override;
    std::optional<std::string> data(std::size_t index, std::string_view type) override;
    void clear() override;
    bool writeItems(const std::vector<PasteboardItem>& items) override;
    bool contentsFetched() override { return fetched_->load(); }

private:
    struct Served {
        std::vector<std::pair<std::string, std::string>> entries;  // as written (what we read back)
        std::vector<std::pair<Atom, std::string>> targets;         // as served
    };
    struct Conversion;

    bool own(std::shared_ptr<const Served> served);  // event thread
    void onEvent(XEvent& event);                      // event thread
    void answer(const XSelectionRequestEvent& request);
    std::optional<std::string> convert(const std::string& target);  // main thread
    std::shared_ptr<const Served> ownedContents();                   // main thread

    XEventThread& events_;
    const std::chrono::milliseconds readTimeout_;
    Window window_ = None;
    Atom clipboard_ = None, targets_ = None, timestamp_ = None, multiple_ = None, incr_ = None,
         property_ = None, timeProperty_ = None;
    std::uint64_t handler_ = 0;
    // Event thread: what we serve while we own the selection.
    std::shared_ptr<const Served> served_;
    Time ownedSince_ = CurrentTime;
    std::shared_ptr<Conversion> conversion_;
    std::uint64_t nextConversion_ = 1;
    Window unresponsiveOwner_ = None;  // the last owner that let a request time out, and until when
    std::chrono::steady_clock::time_point unresponsiveUntil_{};
    std::shared_ptr<std::atomic<bool>> fetched_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace talkweft::platform::linuxdesktop
