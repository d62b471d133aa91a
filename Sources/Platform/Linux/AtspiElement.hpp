// The elements of the AT-SPI accessibility service: the system-wide element, an application found
// by its process, and the objects below them. Each read or write runs on the AT-SPI thread.
//
// Internal to the AT-SPI accessibility service.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Accessibility.hpp"
#include "Platform/Linux/AtspiThread.hpp"

namespace talkweft::platform::linuxdesktop::atspi {

enum class Kind { systemWide, application, object };

class AtspiElement final : public AXElement {
public:
    // `acc` is adopted (its reference released on the AT-SPI thread at the end).
    AtspiElement(std::shared_ptr<AtspiAccessibility::State> state, Kind kind, std::int32_t pid, AtspiAccessible* acc)
        : state_(std::move(state)), kind_(kind), pid_(pid), acc_(acc) {
        if (acc_ != nullptr) identity_ = busName(acc_) + "\n" + objectPath(acc_);
    }
    ~AtspiElement() override {
        if (acc_ != nullptr) {
            AtspiAccessible* acc = acc_;
            state_->post([acc] { g_object_unref(acc); });
        }
    }

    std::optional<AXValue> attribute(std::string_view name) const override;
    std::optional<AXValue> parameterizedAttribute(std::string_view name, const AXValue& parameter) const override;
    bool isSettable(std::string_view name) const override;
    bool setAttribute(std::string_view name, const AXValue& value) override;
    bool isSameElement(const AXElement& other) const override {
        const auto* o = dynamic_cast<const AtspiElement*>(&other);
        if (o == nullptr || o->kind_ != kind_) return false;
        if (kind_ == Kind::object) return o->identity_ == identity_;
        return kind_ == Kind::systemWide || o->pid_ == pid_;
    }

private:
    // Runs `work` on the AT-SPI thread with the object (the application kind resolves its pid
    // first); the result, or nothing when it failed or did not finish in time.
    template <class T>
    std::optional<T> onThread(std::function<std::optional<T>(StatePtr, AtspiAccessible*)> work) const;

    std::shared_ptr<AtspiAccessibility::State> state_;
    Kind kind_;
    std::int32_t pid_;
    AtspiAccessible* acc_;
    std::string identity_;
};

}  // namespace talkweft::platform::linuxdesktop::atspi
