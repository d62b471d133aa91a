// The talkweft executable: hold-to-talk dictation and agent edits.
//
//   talkweft                 starts the application (one instance per user session)
//   talkweft 'talkweft://run?mode=agent&text=...'   hands a URL command to the running instance
//   talkweft --import-model SOURCE [NAME]            converts a Whisper checkpoint into a speech model
//   talkweft --install | --uninstall                 adds it to (removes it from) the user's desktop
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <filesystem>
#include <string>
#include <thread>

#include <QApplication>

#include "AudioInput/PulseAudioSystem.hpp"
#include "AudioInput/TestAudioSystem.hpp"
#include "Platform/FileDefaults.hpp"
#include "Platform/Headless/Desktop.hpp"
#include "Platform/Headless/LoginItem.hpp"
#include "Platform/Headless/Panel.hpp"
#include "Platform/Headless/Sound.hpp"
#include "Platform/Headless/StatusItem.hpp"
#include "Platform/Linux/AutostartLoginItem.hpp"
#include "Platform/Linux/CanberraSound.hpp"
#include "Platform/Linux/DesktopInstall.hpp"
#include "Platform/Linux/LinuxDesktop.hpp"
#include "Platform/Linux/Qt/QtMainLoop.hpp"
#include "Platform/Linux/Qt/QtPanel.hpp"
#include "Platform/Linux/Qt/QtStatusItem.hpp"
#include "Platform/URLCommand.hpp"
#include "Talkweft/AppDelegate.hpp"
#include "Talkweft/Log.hpp"
#include "Talkweft/Paths.hpp"
#include "Talkweft/Settings/QtSettingsWindow.hpp"
#include "Talkweft/SettingsStore.hpp"
#include "TalkweftCore/ProcessTree.hpp"
#include "ZadezarIro/Core/ModelImport.hpp"

namespace {

namespace fs = std::filesystem;
using namespace talkweft;

// SIGINT and SIGTERM write 'q' here; the signal thread reads it.
int g_quitPipe[2] = {-1, -1};

void onQuitSignal(int) {
    const int saved = errno;
    const char quit = 'q';
    [[maybe_unused]] const auto written = ::write(g_quitPipe[1], &quit, 1);
    errno = saved;
}

constexpr const char* USAGE =
    "usage: talkweft [--help | --version | --install | --uninstall | --import-model SOURCE [NAME] | URL]\n"
    "\n"
    "Hold a chord of modifier keys, speak and release: the speech is transcribed on this machine\n"
    "and typed into the focused text field (dictation), or handed to a coding agent as an\n"
    "instruction about that field (agent mode).\n"
    "\n"
    "With a URL (talkweft://run?mode=agent|dictate&text=...&delay=S, talkweft://probe?delay=S),\n"
    "hands the command to the running instance and exits.\n"
    "\n"
    "With --import-model, makes a Whisper checkpoint a speech model of this machine: SOURCE is a\n"
    "checkpoint folder (config.json, model.safetensors, tokenizer files) or a model hub repository\n"
    "such as openai/whisper-base, downloaded first from the model hub named by HUB_ENDPOINT (an\n"
    "interrupted download resumes). The model is stored as NAME, by default the repository's name\n"
    "with \"_\" for \"/\" (openai_whisper-base); choose it under Settings › General › Whisper model.\n"
    "Exits 0 when the model is in place, 1 when the import failed, 2 for wrong arguments.\n"
    "\n"
    "With --install, adds talkweft to this user's desktop: an entry in the applications menu that\n"
    "starts this program, its icon, and the handler of talkweft:// links (xdg-open). --uninstall\n"
    "removes exactly that again. Both exit 0 when done, 1 on failure.\n";

// $XDG_RUNTIME_DIR/talkweft, else a private folder in the temporary folder.
fs::path runtimeDir() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/') return fs::path(xdg) / "talkweft";
    return fs::temp_directory_path() / ("talkweft-" + std::to_string(::getuid()));
}

fs::path socketPath() { return runtimeDir() / "talkweft.sock"; }

// The runtime folder must be a real folder of this user (not a link, not someone else's: in the
// shared temporary folder another user could have made it first), so no one else can take over
// the socket. Made when missing and `create`; set to mode 0700. Returns the problem, or empty.
std::string checkRuntimeDir(bool create) {
    fs::path dir = runtimeDir();
    if (create) {
        std::error_code ec;
        fs::create_directories(dir.parent_path(), ec);
        ::mkdir(dir.c_str(), 0700);
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return create ? dir.string() + ": " + std::strerror(errno) : "";
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return dir.string() + " is not a private folder of this user";
    if ((st.st_mode & 0777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) return dir.string() + ": " + std::strerror(errno);
    return "";
}

int sendCommand(const std::string& url) {
    if (std::string problem = checkRuntimeDir(false); !problem.empty()) {
        std::fprintf(stderr, "talkweft: %s\n", problem.c_str());
        return 1;
    }
    try {
        std::string answer = platform::sendURLCommand(socketPath().string(), url);
        if (answer == "ok") return 0;
        std::fprintf(stderr, "talkweft: %s\n", answer.c_str());
    } catch (const platform::URLCommandError& e) {
        std::fprintf(stderr, "talkweft: %s\n", e.what());
    }
    return 1;
}

// The simulated desktop of a headless run has one app in front, a scratch pad with an empty field,
// so URL commands have somewhere to go.
void addScratchpad(platform::headless::Desktop& desktop) {
    auto app = desktop.addApp(::getpid(), "org.talkweft.Scratchpad", "Scratchpad");
    auto window = app->addWindow("Scratchpad");
    auto field = std::make_shared<platform::headless::TextField>("");
    window->addChild(field);
    app->focus(field);
    desktop.activate(::getpid());
}

// --import-model SOURCE [NAME]: the model lands in the application's model folder, where the
// transcriber and the settings find it.
int importModel(int argc, char** argv) {
    if (argc < 3 || argc > 4 || argv[2][0] == '\0') {
        std::fprintf(stderr, "talkweft: --import-model needs SOURCE and at most a NAME\n\n%s", USAGE);
        return 2;
    }
    const std::string source = argv[2];
    const std::optional<std::string> name = argc == 4 ? std::optional<std::string>(argv[3]) : std::nullopt;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    int shown = -1;
    zadezariro::ModelImport::Options options;
    options.base = Paths::models();
    // Whole percents on a terminal (one line, redrawn), every tenth otherwise.
    options.progress = [&](double fraction) {
        const int percent = std::clamp(static_cast<int>(fraction * 100.0 + 1e-6), 0, 100);
        if (percent <= shown || (!terminal && percent % 10 != 0 && percent != 100)) return;
        shown = percent;
        std::fprintf(stderr, terminal ? "\rtalkweft: downloading %s: %d%%" : "talkweft: downloading %s: %d%%\n", source.c_str(),
                     percent);
        if (terminal && percent == 100) std::fputc('\n', stderr);
    };
    try {
        const fs::path folder = zadezariro::ModelImport::importModel(source, name, options);
        const std::string model = folder.filename().string();
        std::printf("talkweft: imported speech model \"%s\" into %s\n", model.c_str(), folder.c_str());
        // The name the settings need, and whether they name it already.
        platform::FileDefaults defaults(Paths::defaultsFile());
        if (SettingsStore(defaults).value().whisperModel == model)
            std::printf("talkweft: \"%s\" is already the chosen speech model\n", model.c_str());
        else
            std::printf("talkweft: to use it, enter \"%s\" under Settings › General › Whisper model\n", model.c_str());
        return 0;
    } catch (const std::exception& e) {
        if (terminal && shown >= 0 && shown < 100) std::fputc('\n', stderr);
        std::fprintf(stderr, "talkweft: import failed: %s\n", e.what());
        return 1;
    }
}

// --install / --uninstall: the desktop entry, icon and talkweft:// handler of this user.
int installOnDesktop(bool install) {
    const auto report = [](const std::string& line) { std::printf("talkweft: %s\n", line.c_str()); };
    try {
        const auto at = platform::linuxdesktop::processDesktopLocations();
        if (install) {
            platform::linuxdesktop::installDesktopApp(at, report);
            std::printf("talkweft: installed; start Talkweft from the applications menu or run %s\n", at.executable.c_str());
        } else {
            platform::linuxdesktop::uninstallDesktopApp(at, report);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "talkweft: %s failed: %s\n", install ? "install" : "uninstall", e.what());
        return 1;
    }
}

int runApplication(int argc, char** argv) {
    if (std::string problem = checkRuntimeDir(true); !problem.empty()) {
        std::fprintf(stderr, "talkweft: %s\n", problem.c_str());
        return 1;
    }
    try {
        if (platform::isURLCommandListenerRunning(socketPath().string())) {
            std::fprintf(stderr, "talkweft: another instance is running\n");
            return 1;
        }
    } catch (const platform::URLCommandError& e) {
        // Without the socket neither URL commands nor the one-instance check can work.
        std::fprintf(stderr, "talkweft: %s\n", e.what());
        return 1;
    }

    // Helpers that an agent run starts and that leave its process group stay below us, so the run
    // can end them.
    if (!becomeChildSubreaper()) Log::write(std::string("process: not a child subreaper: ") + std::strerror(errno));

    // SIGINT and SIGTERM end the main loop. Libraries may have started threads before main (the
    // linear algebra library starts its pool when it is loaded) that do not block the signals, so a
    // handler takes them wherever they land and wakes the signal thread through a pipe. Our own
    // threads, started later, inherit the blocked mask; the signal thread unblocks it for itself.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);
    if (::pipe2(g_quitPipe, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "talkweft: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction quitAction {};
    quitAction.sa_handler = onQuitSignal;
    sigemptyset(&quitAction.sa_mask);
    quitAction.sa_flags = SA_RESTART;
    sigaction(SIGINT, &quitAction, nullptr);
    sigaction(SIGTERM, &quitAction, nullptr);

    // The real X11 desktop when a display answers, else the simulated one. On X11 one QApplication
    // draws the windows (tray icon and menu, heads-up panel, settings) on the same display, and its event loop is
    // the main loop. Qt is told to use X11 even where it would pick Wayland: everything else here
    // speaks X11.
    std::unique_ptr<QApplication> qtApp;
    std::unique_ptr<platform::linuxdesktop::QtMainLoop> qtLoop;
    std::unique_ptr<platform::linuxdesktop::LinuxDesktop> linux;
    std::unique_ptr<platform::headless::Desktop> simulated;
    std::string desktopLine;
    if (platform::linuxdesktop::displayAnswers()) {
        static char programName[] = "talkweft";
        static char platformFlag[] = "-platform";
        static char platformName[] = "xcb";
        static char* qtArgv[] = {argc > 0 && argv[0] ? argv[0] : programName, platformFlag, platformName, nullptr};
        static int qtArgc = 3;
        try {
            qtApp = std::make_unique<QApplication>(qtArgc, qtArgv);
            // Qt takes the whole locale from the environment; numbers in files, logs and results
            // keep "." as their decimal point whatever it is.
            std::setlocale(LC_NUMERIC, "C");
            QApplication::setQuitOnLastWindowClosed(false);  // closing the settings window ends nothing
            QGuiApplication::setDesktopFileName("talkweft");
            qtLoop = std::make_unique<platform::linuxdesktop::QtMainLoop>();
            linux = std::make_unique<platform::linuxdesktop::LinuxDesktop>(*qtLoop);
            desktopLine = "desktop: the X11 desktop on display " + linux->displayName();
        } catch (const std::exception& e) {
            desktopLine = std::string("desktop: the simulated desktop (the X11 desktop failed: ") + e.what() + ")";
            qtLoop.reset();
            qtApp.reset();
        }
    } else {
        desktopLine = "desktop: the simulated desktop (no X display answers)";
    }
    if (!linux) simulated = std::make_unique<platform::headless::Desktop>(platform::headless::HeadlessLoop::ClockMode::realClock);
    Log::write(desktopLine);
    std::fprintf(stderr, "talkweft: %s\n", desktopLine.c_str());
    platform::MainLoop& loop = linux ? linux->mainLoop() : simulated->loop();
    platform::FileDefaults defaults(Paths::defaultsFile(), [](const std::string& line) { Log::write(line); });
    // Each desktop service: the X11 desktop's own (Qt windows, libcanberra sounds, the XDG autostart
    // entry), else the simulated one.
    std::unique_ptr<platform::SoundPlayer> sounds;
    std::unique_ptr<platform::Panel> panel;
    std::unique_ptr<platform::StatusItem> statusItem;
    std::unique_ptr<platform::LoginItemService> loginItem;
    if (linux) {
        sounds = std::make_unique<platform::linuxdesktop::CanberraSoundPlayer>();
        panel = std::make_unique<platform::linuxdesktop::QtPanel>();
        statusItem = std::make_unique<platform::linuxdesktop::QtStatusItem>([](const std::string& line) {
            Log::write(line);
            std::fprintf(stderr, "talkweft: %s\n", line.c_str());
        });
        loginItem = std::make_unique<platform::linuxdesktop::AutostartLoginItem>();
    } else {
        sounds = std::make_unique<platform::headless::SoundPlayer>();
        panel = std::make_unique<platform::headless::Panel>();
        statusItem = std::make_unique<platform::headless::StatusItem>();
        loginItem = std::make_unique<platform::headless::LoginItemService>();
    }
    std::unique_ptr<audioinput::AudioSystem> audio;
    if (linux) {
        try {
            audio = std::make_unique<audioinput::PulseAudioSystem>();
        } catch (const std::exception& e) {
            Log::write(std::string("audio: ") + e.what());
            std::fprintf(stderr, "talkweft: %s\n", e.what());
        }
    }
    if (!audio) {
        auto test = std::make_unique<audioinput::TestAudioSystem>();
        if (!linux) test->addDevice("Simulated microphone", {16000, 1});
        audio = std::move(test);
    }
    platform::UnixSocketURLCommandSource urls(loop, socketPath().string());
    auto& p = linux ? linux->platform() : simulated->platform();
    p.defaults = &defaults;
    p.sounds = sounds.get();
    p.panel = panel.get();
    p.statusItem = statusItem.get();
    p.loginItem = loginItem.get();
    p.audio = audio.get();
    p.urlCommands = &urls;
    platform::ScopedPlatform scope(p);
    if (simulated) {
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) simulated->userName = pw->pw_name;
        addScratchpad(*simulated);
    }

    std::jthread signalWaiter([&loop, quitSignals](std::stop_token) {
        pthread_sigmask(SIG_UNBLOCK, &quitSignals, nullptr);
        char byte = 0;
        while (::read(g_quitPipe[0], &byte, 1) < 0 && errno == EINTR) {
        }
        if (byte == 'q') loop.quit();
    });

    {
        AppDelegate app;
        // The settings window edits the delegate's store: it is made after the delegate and goes
        // before it.
        std::unique_ptr<QtSettingsWindow> settingsWindow;
        if (linux) {
            settingsWindow = std::make_unique<QtSettingsWindow>();
            p.settingsWindow = settingsWindow.get();
        }
        struct SurfaceGone {
            platform::Platform& p;
            ~SurfaceGone() { p.settingsWindow = nullptr; }
        } surfaceGone{p};
        app.onStatusChange = [](const std::string& s) {
            std::printf("status: %s\n", s.c_str());
            std::fflush(stdout);
        };
        app.applicationDidFinishLaunching();
        std::printf("talkweft: listening for URL commands on %s\n", socketPath().c_str());
        std::fflush(stdout);
        loop.run();
        // Quitting drops a recording, stops the work in progress (an agent may run for minutes) and
        // the speech model's preparation (a download may run for minutes too), then lets the
        // history writes already under way finish.
        Controller& controller = app.controller();
        if (controller.isRecording()) controller.cancel();
        if (controller.isBusy()) controller.cancel();
        controller.stopPreparation();
        controller.waitForIdle();
    }
    Log::flush();
    // The signal thread waits on the pipe; wake it so it can be joined.
    const char done = 'e';
    while (::write(g_quitPipe[1], &done, 1) < 0 && errno == EINTR) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        std::printf("talkweft %s\n", TALKWEFT_VERSION);
        return 0;
    }
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("talkweft %s\n\n%s", TALKWEFT_VERSION, USAGE);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--import-model") == 0) return importModel(argc, argv);
    if (argc > 1 && (std::strcmp(argv[1], "--install") == 0 || std::strcmp(argv[1], "--uninstall") == 0)) {
        if (argc > 2) {
            std::fprintf(stderr, "talkweft: %s takes no further argument\n\n%s", argv[1], USAGE);
            return 2;
        }
        return installOnDesktop(std::strcmp(argv[1], "--install") == 0);
    }
    if (argc > 1 && std::strstr(argv[1], "://")) return sendCommand(argv[1]);
    if (argc > 1) {
        std::fprintf(stderr, "talkweft: unknown argument: %s\n\n%s", argv[1], USAGE);
        return 2;
    }
    return runApplication(argc, argv);
}
