// The in-process tests' QApplication: one for the whole program, on Qt's offscreen platform (chosen
// on its command line, so the environment stays as it is for the desktop session's tests).
#pragma once

#include <QApplication>

namespace qtdesktoptest {

inline void ensureQApplication() {
    if (QApplication::instance()) return;
    static int argc = 3;
    static char name[] = "QtDesktopTests";
    static char flag[] = "-platform";
    static char platformName[] = "offscreen";
    static char* argv[] = {name, flag, platformName, nullptr};
    new QApplication(argc, argv);
}

}  // namespace qtdesktoptest
