// The HUD screenshots (Tools/hud-screenshots): one PNG per state, each a valid PNG of the panel's
// size as drawn.
#include "HUDWindowSupport.hpp"  // first: Qt before Xlib

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "HUDScreenshots.hpp"
#include "Platform/Linux/Qt/QtPanel.hpp"

namespace desktoptest {
namespace {

namespace fs = std::filesystem;

class HUDScreenshotTest : public HUDWindowSuite {};

// Width and height from a PNG's signature and IHDR chunk; absent when the file is no PNG.
std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char head[24] = {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return std::nullopt;
    const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!std::equal(signature, signature + 8, head) || std::string(reinterpret_cast<char*>(head + 12), 4) != "IHDR") return std::nullopt;
    auto be = [&](int at) { return std::uint32_t(head[at]) << 24 | std::uint32_t(head[at + 1]) << 16 | std::uint32_t(head[at + 2]) << 8 | head[at + 3]; };
    return std::pair{be(16), be(20)};
}

TEST_F(HUDScreenshotTest, WritesAPNGOfEachStateAtThePanelsSize) {
    HUD_NEED_QT_ON_X11();
    const fs::path dir = session()->runFolder() / "hud-shots";
    talkweft::platform::linuxdesktop::QtPanel panel;
    const auto shots = talkweft::hudshots::writeScreenshots(dir, panel);
    std::vector<std::string> states;
    for (const auto& shot : shots) {
        SCOPED_TRACE(shot.state);
        states.push_back(shot.state);
        ASSERT_TRUE(shot.written);
        EXPECT_EQ(shot.file, dir / ("hud-" + shot.state + ".png"));
        EXPECT_EQ(pngSize(shot.file), (std::pair<std::uint32_t, std::uint32_t>(shot.width, shot.height)));
        EXPECT_GT(shot.height, 20);
        EXPECT_LE(shot.width, 520);
        fs::remove(shot.file);
    }
    EXPECT_EQ(states, (std::vector<std::string>{"listening-dictate", "listening-agent-scoped", "transcribing", "thinking", "reply",
                                                "error", "note"}));
}

}  // namespace
}  // namespace desktoptest
