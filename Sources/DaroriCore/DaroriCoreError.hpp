// The engine support library's own error.
#pragma once

#include <stdexcept>
#include <string>

namespace darori {

// A configuration the engine cannot work with. what() and errorDescription() return the carried
// message unchanged.
class DaroriCoreError : public std::runtime_error {
public:
    enum class Kind { invalidConfiguration };

    // The one case: a human-readable message.
    static DaroriCoreError invalidConfiguration(std::string message) {
        return DaroriCoreError(Kind::invalidConfiguration, std::move(message));
    }

    Kind kind() const noexcept { return kind_; }
    std::string errorDescription() const { return what(); }

private:
    DaroriCoreError(Kind kind, std::string message) : std::runtime_error(std::move(message)), kind_(kind) {}
    Kind kind_;
};

}  // namespace darori
