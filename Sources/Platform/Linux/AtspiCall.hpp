// Calls against one app on the AT-SPI thread, and the object reads built on them (states, role,
// parent and children). A call the app never answered marks the app as hung; the rest of the
// work is then skipped.
//
// Internal to the AT-SPI accessibility service.
#pragma once

#include <optional>

#include "Platform/Linux/AtspiThread.hpp"

namespace talkweft::platform::linuxdesktop::atspi {

// One read or write against one app on the AT-SPI thread: every failed call is checked for a
// timeout, after which the rest of the work is skipped.
class Call {
public:
    Call(StatePtr state, AtspiAccessible* acc) : state_(state), acc_(acc) { skip_ = acc == nullptr || state->hung(acc); }
    bool skipped() const { return skip_; }
    // Consumes an error of the last call: true when there was none.
    bool ok(GError* error);
    // For calls that report no error: true unless the last one took the whole timeout.
    bool answered();

private:
    StatePtr state_;
    AtspiAccessible* acc_;
    Clock::time_point started_ = Clock::now();
    bool skip_ = false;
};

// The object's states (libatspi reports no error here: a call that took the whole timeout counts
// as unanswered).
GRef<AtspiStateSet> states(AtspiAccessible* acc, Call& call);
bool hasState(AtspiAccessible* acc, AtspiStateType s, Call& call);
std::optional<AtspiRole> roleOf(AtspiAccessible* acc, Call& call);
GRef<AtspiAccessible> parentOf(AtspiAccessible* acc, Call& call);
GRef<AtspiAccessible> childAt(AtspiAccessible* acc, int index, Call& call);
// The number of children (0 when the call failed).
int childCount(AtspiAccessible* acc, Call& call);
// True for a password field.
bool isSecureRole(AtspiAccessible* acc, Call& call);

}  // namespace talkweft::platform::linuxdesktop::atspi
