// The sounds on libcanberra: cues heard on the session's sound server (its null sink's monitor
// recorded), a restart that replaces a sound rather than stacking it, the volume in decibels,
// names and files that do not exist, and no hang without a sound server.
#include <gtest/gtest.h>

#include <pulse/error.h>
#include <pulse/simple.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>

#include "DesktopInstallSupport.hpp"
#include "DesktopSession.hpp"
#include "Platform/Linux/CanberraSound.hpp"

namespace desktoptest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace lx = talkweft::platform::linuxdesktop;

// The null sink's monitor, read 10 ms at a time (the sink's own format, so nothing is converted).
class MonitorRecorder {
public:
    explicit MonitorRecorder(const std::string& server) {
        const pa_sample_spec format{PA_SAMPLE_S16LE, RATE, 2};
        const pa_buffer_attr attr{static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                                  static_cast<std::uint32_t>(-1), CHUNK_FRAMES * 4};
        int error = 0;
        stream_ = pa_simple_new(server.c_str(), "talkweft-sound-test", PA_STREAM_RECORD, "test_null.monitor", "monitor", &format,
                                nullptr, &attr, &error);
        if (!stream_) error_ = pa_strerror(error);
    }
    ~MonitorRecorder() {
        if (stream_) pa_simple_free(stream_);
    }
    bool ok() const { return stream_ != nullptr; }
    const std::string& error() const { return error_; }

    // The mean magnitude of the next 10 ms of samples.
    double nextLevel() {
        std::int16_t samples[CHUNK_FRAMES * 2];
        int error = 0;
        if (pa_simple_read(stream_, samples, sizeof samples, &error) < 0) return -1;
        double sum = 0;
        for (std::int16_t s : samples) sum += std::abs(static_cast<int>(s));
        return sum / (CHUNK_FRAMES * 2);
    }
    // Reads until `ok` holds for `run` chunks in a row (true), or until `limit` has passed (false).
    // `last` gets the mean level of that run.
    bool waitForLevel(const std::function<bool(double)>& ok, int run, std::chrono::milliseconds limit, double* last = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int inRow = 0;
        double sum = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const double level = nextLevel();
            if (level < 0) return false;
            if (!ok(level)) {
                inRow = 0;
                sum = 0;
                continue;
            }
            sum += level;
            if (++inRow == run) {
                if (last) *last = sum / run;
                return true;
            }
        }
        return false;
    }

    static constexpr std::uint32_t RATE = 44100;
    static constexpr std::uint32_t CHUNK_FRAMES = RATE / 100;

private:
    pa_simple* stream_ = nullptr;
    std::string error_;
};

// A WAV file of `seconds` of one constant sample value in both channels: its level on the monitor
// is the value times the stream's volume, and two copies playing at once add up.
void writeConstantWav(const fs::path& file, int seconds, std::int16_t value) {
    const std::uint32_t rate = MonitorRecorder::RATE, frames = rate * static_cast<std::uint32_t>(seconds);
    const std::uint32_t dataBytes = frames * 4;
    std::string bytes = "RIFF";
    auto u32 = [&](std::uint32_t v) { for (int i = 0; i < 4; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xff); };
    auto u16 = [&](std::uint16_t v) { bytes += static_cast<char>(v & 0xff); bytes += static_cast<char>(v >> 8); };
    u32(36 + dataBytes);
    bytes += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(2);
    u32(rate);
    u32(rate * 4);
    u16(4);
    u16(16);
    bytes += "data";
    u32(dataBytes);
    bytes.reserve(bytes.size() + dataBytes);
    for (std::uint32_t i = 0; i < frames * 2; ++i) u16(static_cast<std::uint16_t>(value));
    installtest::writeFile(file, bytes);
}

constexpr double SILENT = 5;

class CanberraSounds : public DesktopSuite {};

TEST_F(CanberraSounds, EveryCueIsHeardOnTheSoundServer) {
    TALKWEFT_NEED_DESKTOP();
    MonitorRecorder monitor(session()->pulseServer());
    ASSERT_TRUE(monitor.ok()) << monitor.error();
    lx::CanberraSoundPlayer player;
    for (const char* name : {"begin_record", "Pop", "Bottle", "Basso", "Tink"}) {
        SCOPED_TRACE(name);
        auto sound = player.named(name);
        ASSERT_TRUE(sound) << "the freedesktop theme has no sound for " << lx::calcSoundEventID(name);
        ASSERT_TRUE(monitor.waitForLevel([](double l) { return l < SILENT; }, 20, 20s)) << "the sink is not quiet";
        sound->setVolume(0.35f);
        sound->stop();
        sound->play();
        EXPECT_TRUE(monitor.waitForLevel([](double l) { return l > 3 * SILENT; }, 1, 20s)) << "not heard";
    }
}

TEST_F(CanberraSounds, UnknownNamesAndFilesThatAreNoSoundsGiveNothing) {
    TALKWEFT_NEED_DESKTOP();
    lx::CanberraSoundPlayer player;
    EXPECT_FALSE(player.named("no-such-sound"));
    EXPECT_FALSE(player.named("../stereo/bell"));
    EXPECT_FALSE(player.file((session()->runFolder() / "missing.oga").string()));
    installtest::writeFile(session()->runFolder() / "text.oga", "just text, no sound");
    EXPECT_FALSE(player.file((session()->runFolder() / "text.oga").string()));
    EXPECT_FALSE(player.file(session()->runFolder().string()));
    const auto oga = lx::findThemeSound(lx::calcSoundThemeDirs([](const char*) { return std::optional<std::string>(); }, "/"), "bell");
    ASSERT_TRUE(oga);
    EXPECT_TRUE(player.file(oga->string()));

    // A desktop without the sound theme has no named sounds at all, so the application falls back
    // to its files and "Tink".
    lx::CanberraSoundPlayer themeless(std::vector<fs::path>{session()->runFolder() / "sounds/freedesktop/stereo"});
    EXPECT_FALSE(themeless.named("begin_record"));
    EXPECT_FALSE(themeless.named("Tink"));
}

// A restart (stop, then play: what a cue does) replaces the sound still sounding instead of adding
// a second copy; the volume is applied in decibels (0.5 halves the amplitude); stop() silences it.
TEST_F(CanberraSounds, RestartReplacesTheSoundAndTheVolumeScalesIt) {
    TALKWEFT_NEED_DESKTOP();
    MonitorRecorder monitor(session()->pulseServer());
    ASSERT_TRUE(monitor.ok()) << monitor.error();
    const fs::path wav = session()->runFolder() / "constant.wav";
    // Far longer than the test's waits: a second copy could not have ended by itself in time.
    writeConstantWav(wav, 40, 8000);
    lx::CanberraSoundPlayer player;
    auto sound = player.file(wav.string());
    ASSERT_TRUE(sound);
    ASSERT_TRUE(monitor.waitForLevel([](double l) { return l < SILENT; }, 20, 20s)) << "the sink is not quiet";

    sound->setVolume(1.0f);
    sound->play();
    double full = 0;
    ASSERT_TRUE(monitor.waitForLevel([](double l) { return l > 4000; }, 10, 20s, &full)) << "not heard";
    EXPECT_NEAR(full, 8000, 800);

    sound->setVolume(0.5f);
    sound->stop();
    sound->play();
    // With the first copy still playing the level would stay at full or above.
    double half = 0;
    EXPECT_TRUE(monitor.waitForLevel([&](double l) { return l > 0.35 * full && l < 0.65 * full; }, 20, 15s, &half))
        << "the restarted sound never played alone at half volume";
    EXPECT_NEAR(half / full, 0.5, 0.05);

    sound->stop();
    EXPECT_TRUE(monitor.waitForLevel([](double l) { return l < SILENT; }, 20, 15s)) << "stop() did not silence it";
}

// Without a sound server (none at the address, or one that never answers) cues cost the caller
// nothing: play() returns, nothing throws, and the player ends. Each runs in a child process of
// its own, since libpulse takes the server's address from the environment.
TEST(CanberraWithoutServer, NothingHangsOrThrows) {
    if (const char* mode = std::getenv("TALKWEFT_SOUND_TEST_CHILD")) {
        {
            lx::CanberraSoundPlayer player;
            auto sound = player.named("begin_record");
            ASSERT_TRUE(sound);
            for (int i = 0; i < 3; ++i) {
                sound->setVolume(0.35f);
                sound->stop();
                sound->play();
            }
            if (std::string(mode) == "missing") {
                // Refused at once: the worker gets through every request.
                EXPECT_TRUE(player.drain(30s)) << "the worker is stuck";
            } else {
                // The worker waits on the silent server (libpulse has no deadline for it), so
                // the end of the player below has to leave it behind rather than wait.
                player.drain(2s);
            }
        }
        return;
    }
    installtest::TempFolder tmp;
    const fs::path conf = tmp.path() / "client.conf";
    installtest::writeFile(conf, "autospawn = no\n");
    // A server that takes connections into its backlog and never says a word.
    const fs::path silentSocket = tmp.path() / "silent.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", silentSocket.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 16), 0);

    const std::pair<const char*, fs::path> servers[] = {{"missing", tmp.path() / "none.sock"}, {"silent", silentSocket}};
    for (const auto& [mode, socket] : servers) {
        SCOPED_TRACE(mode);
        const auto child = installtest::runProgram(
            {"/proc/self/exe", "--gtest_filter=CanberraWithoutServer.NothingHangsOrThrows"},
            {{"TALKWEFT_SOUND_TEST_CHILD", mode}, {"PULSE_SERVER", "unix:" + socket.string()}, {"PULSE_CLIENTCONFIG", conf.string()}},
            120s);
        EXPECT_EQ(child.status, 0) << child.out;
        EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
    }
    ::close(listener);
}

}  // namespace
}  // namespace desktoptest
