#include "Platform/Headless/URLCommand.hpp"

namespace talkweft::platform::headless {

void URLCommandSource::start(std::function<void(const std::string&)> handler,
                             std::function<void(const std::string&)> onRefused) {
    handler_ = std::move(handler);
    onRefused_ = std::move(onRefused);
}

void URLCommandSource::stop() {
    handler_ = nullptr;
    onRefused_ = nullptr;
}

bool URLCommandSource::deliver(const std::string& url) {
    if (!handler_) return false;
    if (url.size() > MAX_URL_COMMAND_BYTES) {
        if (onRefused_) onRefused_("too long");
    } else {
        handler_(url);
    }
    return true;
}

}  // namespace talkweft::platform::headless
