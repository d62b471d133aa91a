#include "Cancellation/Cancellation.hpp"

#include <utility>

namespace cancellation {

namespace {
thread_local std::stop_token tCurrentToken;
}

std::stop_token currentStopToken() { return tCurrentToken; }

bool isCancelled() { return tCurrentToken.stop_requested(); }

void checkCancellation() {
    if (tCurrentToken.stop_requested()) throw CancellationError();
}

CancellationScope::CancellationScope(std::stop_token token) : previous_(std::move(tCurrentToken)) {
    tCurrentToken = std::move(token);
}

CancellationScope::~CancellationScope() { tCurrentToken = std::move(previous_); }

}  // namespace cancellation
