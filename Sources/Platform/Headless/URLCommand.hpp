// A URL-command source that tests feed directly.
#pragma once

#include "Platform/URLCommand.hpp"

namespace talkweft::platform::headless {

class URLCommandSource : public platform::URLCommandSource {
public:
    void start(std::function<void(const std::string& url)> handler,
               std::function<void(const std::string& reason)> onRefused) override;
    void stop() override;

    // Main thread: hands `url` to the handler at once (refused as "too long" past the size limit).
    // False when the source is not started.
    bool deliver(const std::string& url);

private:
    std::function<void(const std::string&)> handler_;
    std::function<void(const std::string&)> onRefused_;
};

}  // namespace talkweft::platform::headless
