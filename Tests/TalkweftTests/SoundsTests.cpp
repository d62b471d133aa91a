#include "Talkweft/Sounds.hpp"

#include <gtest/gtest.h>

#include "Platform/Headless/Desktop.hpp"
#include "Platform/Headless/Sound.hpp"

using namespace talkweft;

TEST(Sounds, PlaysCachesFallsBackAndRestarts) {
    platform::headless::Desktop desktop;
    platform::headless::SoundPlayer player({"begin_record", "Tink"}, {std::string(Sounds::SYSTEM_SOUNDS_DIR) + "Bottle.oga"});
    desktop.platform().sounds = &player;
    platform::ScopedPlatform scope(desktop.platform());

    Sounds::play(Cue::dictateStart, false);
    EXPECT_TRUE(player.lookups.empty());
    EXPECT_EQ(Sounds::cacheSize(), 0u);

    Sounds::play(Cue::dictateStart, true);
    Sounds::play(Cue::dictateStart, true);
    EXPECT_EQ(player.played, (std::vector<std::string>{"begin_record", "begin_record"}));
    EXPECT_EQ(player.restarted, std::vector<std::string>{"begin_record"}) << "a second cue restarts the first";
    EXPECT_FLOAT_EQ(player.lastVolume, 0.35f);

    Sounds::play(Cue::release, true);  // found in the sound folder
    Sounds::play(Cue::agentStart, true);  // unknown: "Tink"
    Sounds::play(Cue::agentStart, true);
    EXPECT_EQ(player.played.back(), "Tink");
    EXPECT_EQ(player.lookups, (std::vector<std::string>{"named:begin_record", "named:Bottle",
                                                        "file:" + std::string(Sounds::SYSTEM_SOUNDS_DIR) + "Bottle.oga",
                                                        "named:Pop", "file:" + std::string(Sounds::SYSTEM_SOUNDS_DIR) + "Pop.oga",
                                                        "named:Tink"}))
        << "each name is resolved once";
    EXPECT_EQ(Sounds::cacheSize(), 3u);
}
