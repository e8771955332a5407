#pragma once

#include <QApplication>

namespace torvane::test {

// The one QApplication of a test process (offscreen, set by the test main). It stays alive until the
// process exits; Qt does not support creating a second one.
inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "torvane-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

} // namespace torvane::test
