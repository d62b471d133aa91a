#include "HUDScreenshots.hpp"

#include <QApplication>
#include <QWidget>

#include "Platform/Headless/Desktop.hpp"
#include "Platform/Platform.hpp"
#include "Talkweft/HUD.hpp"

namespace talkweft::hudshots {

std::vector<Shot> writeScreenshots(const std::filesystem::path& dir, platform::linuxdesktop::QtPanel& panel) {
    std::filesystem::create_directories(dir);
    platform::headless::Desktop desktop;
    desktop.platform().panel = &panel;
    platform::ScopedPlatform scope(desktop.platform());
    const auto now = desktop.loop().now();
    const std::vector<std::pair<std::string, HUDState>> states{
        {"listening-dictate", HUDState::listening(Mode::dictate, false)},
        {"listening-agent-scoped", HUDState::listening(Mode::agent, true)},
        {"transcribing", HUDState::transcribing(Mode::dictate)},
        {"thinking", HUDState::thinking("Reply to Sam that Thursday works for me and ask whether we should book the small "
                                        "meeting room again or try the new one on the third floor",
                                        now - std::chrono::seconds(12))},
        {"reply", HUDState::reply("Your next meeting is **Design review** at *14:30* in `Room 3.12`.\n"
                                  "Agenda: [design-review.md](https://example.com/design-review.md). "
                                  "Sam asked to move the **budget** item to the end.")},
        {"error", HUDState::error("Transcription failed: the speech model could not be loaded (out of memory).")},
        {"note", HUDState::note("History cleared")},
    };
    std::vector<Shot> shots;
    HUD hud;
    for (const auto& [name, state] : states) {
        hud.show(state);
        QApplication::processEvents();
        Shot shot;
        shot.state = name;
        shot.file = dir / ("hud-" + name + ".png");
        const QImage image = panel.snapshot();
        shot.width = panel.window()->width();
        shot.height = panel.window()->height();
        shot.written = image.save(QString::fromStdString(shot.file.string()), "PNG");
        shots.push_back(shot);
    }
    hud.hide(0);
    desktop.loop().runPending();
    return shots;
}

}  // namespace talkweft::hudshots
