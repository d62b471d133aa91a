#include "Platform/Linux/AtspiCall.hpp"

#include <algorithm>

namespace talkweft::platform::linuxdesktop::atspi {

bool Call::ok(GError* error) {
    if (error == nullptr) {
        started_ = Clock::now();
        return !skip_;
    }
    g_error_free(error);
    state_->noteFailure(acc_, started_);
    if (state_->hung(acc_)) skip_ = true;
    started_ = Clock::now();
    return false;
}

bool Call::answered() {
    state_->noteFailure(acc_, started_);
    if (state_->hung(acc_)) skip_ = true;
    started_ = Clock::now();
    return !skip_;
}

GRef<AtspiStateSet> states(AtspiAccessible* acc, Call& call) {
    if (call.skipped()) return {};
    GRef<AtspiStateSet> set(atspi_accessible_get_state_set(acc));
    if (!call.answered()) return {};
    return set;
}

bool hasState(AtspiAccessible* acc, AtspiStateType s, Call& call) {
    auto set = states(acc, call);
    return set && atspi_state_set_contains(set.get(), s);
}

std::optional<AtspiRole> roleOf(AtspiAccessible* acc, Call& call) {
    GError* e = nullptr;
    const AtspiRole role = atspi_accessible_get_role(acc, &e);
    if (!call.ok(e)) return std::nullopt;
    return role;
}

GRef<AtspiAccessible> parentOf(AtspiAccessible* acc, Call& call) {
    GError* e = nullptr;
    AtspiAccessible* p = atspi_accessible_get_parent(acc, &e);
    if (!call.ok(e)) {
        if (p) g_object_unref(p);
        return {};
    }
    return GRef<AtspiAccessible>(p);
}

GRef<AtspiAccessible> childAt(AtspiAccessible* acc, int index, Call& call) {
    GError* e = nullptr;
    AtspiAccessible* c = atspi_accessible_get_child_at_index(acc, index, &e);
    if (!call.ok(e)) {
        if (c) g_object_unref(c);
        return {};
    }
    return GRef<AtspiAccessible>(c);
}

int childCount(AtspiAccessible* acc, Call& call) {
    GError* e = nullptr;
    const int n = atspi_accessible_get_child_count(acc, &e);
    return call.ok(e) ? std::max(n, 0) : 0;
}

bool isSecureRole(AtspiAccessible* acc, Call& call) { return roleOf(acc, call) == ATSPI_ROLE_PASSWORD_TEXT; }

}  // namespace talkweft::platform::linuxdesktop::atspi
