#include "Platform/Headless/HeadlessScreen.hpp"

namespace talkweft::platform::headless {

bool HeadlessScreen::preflightAccess() {
    std::lock_guard lock(mutex_);
    return access_;
}

bool HeadlessScreen::requestAccess() {
    std::lock_guard lock(mutex_);
    ++requests_;
    return true;
}

std::optional<std::vector<WindowInfo>> HeadlessScreen::windowList() {
    std::lock_guard lock(mutex_);
    if (!access_ || !listReadable_) return std::nullopt;
    std::vector<WindowInfo> out;
    for (const auto& w : windows_) out.push_back(w.info);
    return out;
}

std::optional<Image> HeadlessScreen::captureWindow(std::uint32_t number) {
    std::lock_guard lock(mutex_);
    if (!access_) return std::nullopt;
    for (const auto& w : windows_) {
        if (!w.info.number || *w.info.number != static_cast<std::int64_t>(number)) continue;
        if (!w.capturable) return std::nullopt;
        // Pixels = points times scale, truncated; sizes that are not finite or absurdly large fail
        // instead of overflowing the conversion.
        const double width = w.info.bounds.width * scale_;
        const double height = w.info.bounds.height * scale_;
        if (!(width >= 1 && height >= 1 && width <= 32768 && height <= 32768)) return std::nullopt;
        Image image;
        image.width = static_cast<int>(width);
        image.height = static_cast<int>(height);
        image.rgba.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 4);
        for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
            for (std::size_t c = 0; c < 4; ++c) image.rgba[i + c] = w.rgba[c];
        }
        return image;
    }
    return std::nullopt;
}

void HeadlessScreen::setAccess(bool granted) {
    std::lock_guard lock(mutex_);
    access_ = granted;
}

int HeadlessScreen::accessRequests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HeadlessScreen::setWindows(std::vector<Window> windows) {
    std::lock_guard lock(mutex_);
    windows_ = std::move(windows);
}

void HeadlessScreen::setListReadable(bool readable) {
    std::lock_guard lock(mutex_);
    listReadable_ = readable;
}

void HeadlessScreen::setScale(double scale) {
    std::lock_guard lock(mutex_);
    scale_ = scale;
}

}  // namespace talkweft::platform::headless
