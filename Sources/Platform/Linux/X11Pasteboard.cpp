#include "Platform/Linux/X11Pasteboard.hpp"

#include "Platform/Linux/ClipboardTargets.hpp"

#include <X11/Xatom.h>

#include <algorithm>

namespace talkweft::platform::linuxdesktop {

struct X11Pasteboard::Conversion {
    std::uint64_t id = 0;
    Atom target = None;
    bool incr = false;
    std::string data;
    std::promise<std::optional<std::string>> result;
    bool done = false;
    void finish(std::optional<std::string> value) {
        if (done) return;
        done = true;
        result.set_value(std::move(value));
    }
};

X11Pasteboard::X11Pasteboard(XEventThread& events, std::chrono::milliseconds readTimeout) : events_(events), readTimeout_(readTimeout) {
    events_.call([this] {
        Display* d = events_.display();
        clipboard_ = XInternAtom(d, "CLIPBOARD", False);
        targets_ = XInternAtom(d, "TARGETS", False);
        timestamp_ = XInternAtom(d, "TIMESTAMP", False);
        multiple_ = XInternAtom(d, "MULTIPLE", False);
        incr_ = XInternAtom(d, "INCR", False);
        property_ = XInternAtom(d, "TALKWEFT_SELECTION", False);
        timeProperty_ = XInternAtom(d, "TALKWEFT_TIME", False);
        XSetWindowAttributes attrs{};
        attrs.event_mask = PropertyChangeMask;
        window_ = XCreateWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, CopyFromParent, InputOnly, CopyFromParent, CWEventMask, &attrs);
        handler_ = events_.addHandler([this](XEvent& e) { onEvent(e); });
    });
}

X11Pasteboard::~X11Pasteboard() {
    events_.call([this] {
        events_.removeHandler(handler_);
        if (conversion_) conversion_->finish(std::nullopt);
        XDestroyWindow(events_.display(), window_);
        XFlush(events_.display());
    });
}

bool X11Pasteboard::own(std::shared_ptr<const Served> served) {
    Display* d = events_.display();
    // A real timestamp for the ownership: the server time of a property change on our window.
    XChangeProperty(d, window_, timeProperty_, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent ev;
    XIfEvent(
        d, &ev,
        [](Display*, XEvent* e, XPointer arg) -> Bool {
            const auto* self = reinterpret_cast<X11Pasteboard*>(arg);
            return e->type == PropertyNotify && e->xproperty.window == self->window_ && e->xproperty.atom == self->timeProperty_;
        },
        reinterpret_cast<XPointer>(this));
    const Time time = ev.xproperty.time;
    XSetSelectionOwner(d, clipboard_, window_, time);
    if (XGetSelectionOwner(d, clipboard_) != window_) {
        served_.reset();
        return false;
    }
    served_ = std::move(served);
    ownedSince_ = time;
    return true;
}

void X11Pasteboard::onEvent(XEvent& event) {
    Display* d = events_.display();
    switch (event.type) {
        case SelectionClear:
            if (event.xselectionclear.window == window_ && event.xselectionclear.selection == clipboard_) served_.reset();
            break;
        case SelectionRequest:
            if (event.xselectionrequest.owner == window_) answer(event.xselectionrequest);
            break;
        case SelectionNotify: {
            const auto& n = event.xselection;
            if (n.requestor != window_ || !conversion_ || n.target != conversion_->target) break;
            if (n.property == None) {
                conversion_->finish(std::nullopt);
                conversion_.reset();
                break;
            }
            Atom type = None;
            auto bytes = readBytes(d, window_, property_, &type);
            XDeleteProperty(d, window_, property_);
            if (type == incr_) {
                conversion_->incr = true;  // chunks follow as property changes
            } else {
                conversion_->finish(std::move(bytes));
                conversion_.reset();
            }
            break;
        }
        case PropertyNotify: {
            const auto& p = event.xproperty;
            if (p.window != window_ || p.atom != property_ || p.state != PropertyNewValue || !conversion_ || !conversion_->incr) break;
            auto chunk = readBytes(d, window_, property_);
            XDeleteProperty(d, window_, property_);
            if (!chunk) {
                conversion_->finish(std::nullopt);
                conversion_.reset();
            } else if (chunk->empty()) {
                conversion_->finish(std::move(conversion_->data));
                conversion_.reset();
            } else {
                conversion_->data += *chunk;
            }
            break;
        }
        default:
            break;
    }
}

void X11Pasteboard::answer(const XSelectionRequestEvent& request) {
    Display* d = events_.display();
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = d;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    const Atom property = request.property == None ? request.target : request.property;  // old clients
    ErrorTrap trap(d);
    if (served_ && request.selection == clipboard_) {
        if (request.target == targets_) {
            std::vector<Atom> atoms = {targets_, timestamp_};
            for (const auto& [atom, bytes] : served_->targets) atoms.push_back(atom);
            XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(atoms.data()),
                            static_cast<int>(atoms.size()));
            reply.property = property;
        } else if (request.target == timestamp_) {
            long time = static_cast<long>(ownedSince_);
            XChangeProperty(d, request.requestor, property, XA_INTEGER, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&time), 1);
            reply.property = property;
        } else if (request.target != multiple_) {
            for (const auto& [atom, bytes] : served_->targets) {
                if (atom != request.target) continue;
                const long limit = (XExtendedMaxRequestSize(d) > 0 ? XExtendedMaxRequestSize(d) : XMaxRequestSize(d)) * 4 - 64;
                if (static_cast<long>(bytes.size()) > limit) break;  // too large for one property
                XChangeProperty(d, request.requestor, property, atom, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
                reply.property = property;
                if (atomName(d, atom) != PASSWORD_MANAGER_HINT) fetched_->store(true);
                break;
            }
        }
    }
    XSendEvent(d, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(d);  // a requestor gone meanwhile only leaves an error in the trap
}

std::shared_ptr<const X11Pasteboard::Served> X11Pasteboard::ownedContents() {
    return events_.call([this] { return served_; });
}

std::optional<std::string> X11Pasteboard::convert(const std::string& target) {
    auto conversion = std::make_shared<Conversion>();
    auto future = conversion->result.get_future();
    Window owner = None;
    const bool started = events_.call([&] {
        Display* d = events_.display();
        owner = XGetSelectionOwner(d, clipboard_);
        // An owner that let a request time out just now is not asked again at once: saving its
        // contents would otherwise wait the whole timeout once for every target it offers.
        if (owner == None || (owner == unresponsiveOwner_ && std::chrono::steady_clock::now() < unresponsiveUntil_)) return false;
        if (conversion_) conversion_->finish(std::nullopt);
        conversion->id = nextConversion_++;
        conversion->target = XInternAtom(d, target.c_str(), False);
        conversion_ = conversion;
        XDeleteProperty(d, window_, property_);
        XConvertSelection(d, clipboard_, conversion->target, property_, window_, CurrentTime);
        XFlush(d);
        return true;
    });
    if (!started) return std::nullopt;
    if (future.wait_for(readTimeout_) == std::future_status::ready) return future.get();
    // The owner did not answer in time: forget the request (a late answer is dropped).
    events_.call([&] {
        if (conversion_ == conversion) conversion_.reset();
        conversion->finish(std::nullopt);
        unresponsiveOwner_ = owner;
        unresponsiveUntil_ = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    });
    return future.get();
}

std::size_t X11Pasteboard::itemCount() {
    if (auto served = ownedContents()) return served->entries.empty() ? 0 : 1;
    const bool owned = events_.call([this] { return XGetSelectionOwner(events_.display(), clipboard_) != None; });
    return owned ? 1 : 0;
}

std::vector<std::string> X11Pasteboard::types(std::size_t index) {
    std::vector<std::string> out;
    if (index != 0) return out;
    if (auto served = ownedContents()) {
        for (const auto& [type, bytes] : served->entries) out.push_back(type);
        return out;
    }
    const auto list = convert("TARGETS");
    if (!list) return out;
    std::vector<std::string> names;
    events_.call([&] {
        for (const std::uint32_t atom : parseTargetsReply(*list)) names.push_back(atomName(events_.display(), atom));
    });
    out = calcOfferedTypes(names);
    return out;
}

std::optional<std::string> X11Pasteboard::data(std::size_t index, std::string_view type) {
    if (index != 0) return std::nullopt;
    if (auto served = ownedContents()) {
        for (const auto& [t, bytes] : served->entries)
            if (t == type) return bytes;
        return std::nullopt;
    }
    return convert(type == PASTEBOARD_PLAIN_TEXT ? "UTF8_STRING" : std::string(type));
}

void X11Pasteboard::clear() {
    fetched_->store(true);
    events_.call([this] { return own(std::make_shared<Served>()); });
}

bool X11Pasteboard::writeItems(const std::vector<PasteboardItem>& items) {
    auto served = std::make_shared<Served>();
    for (const auto& item : items)
        for (const auto& entry : item.entries) {
            if (std::any_of(served->entries.begin(), served->entries.end(), [&](const auto& e) { return e.first == entry.first; })) continue;
            served->entries.push_back(entry);
        }
    return events_.call([&] {
        Display* d = events_.display();
        for (const auto& [name, bytes] : calcServedTargets(served->entries))
            served->targets.emplace_back(XInternAtom(d, name.c_str(), False), bytes);
        fetched_->store(false);
        if (own(served)) return true;
        fetched_->store(true);
        return false;
    });
}

}  // namespace talkweft::platform::linuxdesktop
