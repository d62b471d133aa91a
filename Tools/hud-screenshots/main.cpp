// hud-screenshots DIR: draws each state of the heads-up panel and writes hud-<state>.png into DIR.
// Needs an X display (run it through scripts/screenshots, which starts Xvfb and a window manager).
#include <cstdio>

#include <QApplication>

#include "HUDScreenshots.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hud-screenshots DIR\n");
        return 2;
    }
    QApplication app(argc, argv);
    talkweft::platform::linuxdesktop::QtPanel panel;
    int failures = 0;
    for (const auto& shot : talkweft::hudshots::writeScreenshots(argv[1], panel)) {
        if (shot.written) {
            std::printf("%s\n", shot.file.c_str());
        } else {
            std::fprintf(stderr, "hud-screenshots: can't write %s\n", shot.file.c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
