// The platform: every desktop service the application uses, gathered in one object.
//
// A backend (the headless desktop, later the Linux one) owns its services and fills in a Platform.
// The process installs one as the current platform at start (tests install a headless desktop per
// test); the application's stateless helpers (AX, ContextReader, Clipboard ...) reach the desktop
// through platform::current(). New services are added as further pointer members defaulting to
// null, so existing backends keep compiling.
#pragma once

#include <cstdint>

#include "Platform/Accessibility.hpp"
#include "Platform/Defaults.hpp"
#include "Platform/KeySynth.hpp"
#include "Platform/KeyboardSource.hpp"
#include "Platform/MainLoop.hpp"
#include "Platform/Pasteboard.hpp"
#include "Platform/ScreenCapture.hpp"
#include "Platform/Workspace.hpp"

namespace audioinput {
class AudioSystem;
}

namespace talkweft::platform {

class SoundPlayer;       // Platform/Sound.hpp
class Panel;             // Platform/Panel.hpp
class StatusItem;        // Platform/StatusItem.hpp
class LoginItemService;  // Platform/LoginItem.hpp
class URLCommandSource;  // Platform/URLCommand.hpp
class SettingsWindowSurface;  // Platform/SettingsWindow.hpp

// Non-owning pointers to the services of one backend. A null member is a service the backend
// does not offer.
struct Platform {
    MainLoop* loop = nullptr;
    Workspace* workspace = nullptr;
    Accessibility* accessibility = nullptr;
    Pasteboard* pasteboard = nullptr;
    KeySynth* keys = nullptr;
    KeyboardSource* keyboard = nullptr;
    ScreenCapture* screen = nullptr;
    Defaults* defaults = nullptr;
    SoundPlayer* sounds = nullptr;
    Panel* panel = nullptr;  // the heads-up panel's surface
    StatusItem* statusItem = nullptr;
    LoginItemService* loginItem = nullptr;
    URLCommandSource* urlCommands = nullptr;
    audioinput::AudioSystem* audio = nullptr;  // the microphone
    SettingsWindowSurface* settingsWindow = nullptr;  // the window showing the settings view
};

// The current platform. Throws std::logic_error when none is installed. Thread-safe.
Platform& current();

// True when a platform is installed. Thread-safe.
bool hasCurrent();

// Installs `platform` (not owned; null uninstalls) and bumps the generation. Thread-safe, but
// callers must not swap it while other threads use the old one.
void setCurrent(Platform* platform);

// A number that changes with each setCurrent, so state tied to one platform (a pending clipboard
// restore, say) can tell that the platform it belongs to is gone. Thread-safe.
std::uint64_t currentGeneration();

// Installs a platform for the scope and restores the previous one at its end.
class ScopedPlatform {
public:
    explicit ScopedPlatform(Platform& platform);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    Platform* previous_;
};

}  // namespace talkweft::platform
