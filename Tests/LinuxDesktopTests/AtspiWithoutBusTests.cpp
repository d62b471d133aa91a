#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "Platform/Linux/AtspiAccessibility.hpp"

namespace talkweft::platform::linuxdesktop {
namespace {

// Sets environment variables for the scope (absent: unset) and puts the old values back.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::map<std::string, std::optional<std::string>>& values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A desktop without a session bus: the service is untrusted and answers nothing, without hanging.
TEST(AtspiWithoutBusTest, IsUntrustedAndAnswersNothing) {
    const auto empty = std::filesystem::temp_directory_path() / ("talkweft-nobus-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    {
        ScopedEnvironment env({{"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"DISPLAY", std::nullopt}, {"XDG_RUNTIME_DIR", empty.string()}});
        AtspiAccessibility ax;
        EXPECT_FALSE(ax.connected());
        EXPECT_FALSE(ax.isProcessTrusted(true));
        EXPECT_EQ(ax.systemWide()->attribute(AX_FOCUSED_UI_ELEMENT), std::nullopt);
        auto app = ax.application(::getpid());
        EXPECT_EQ(app->attribute(AX_FOCUSED_WINDOW), std::nullopt);
        EXPECT_FALSE(app->setAttribute(AX_MANUAL_ACCESSIBILITY, AXValue(true)));
    }
    std::filesystem::remove_all(empty);
}

}  // namespace
}  // namespace talkweft::platform::linuxdesktop
