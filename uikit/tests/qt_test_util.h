// Helpers for widget tests: one QApplication per test binary on the offscreen
// platform, and an event pump with a generous bound.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>

namespace quorpane::testing {

// Created on first use and kept for the life of the process (Qt allows one
// application object, and widgets of later tests need it).
inline QApplication& App() {
  static int argc = 1;
  static char arg0[] = "qr-test";
  static char* argv[] = {arg0, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Runs the GUI thread's event loop until pred() holds; false after timeout_ms.
template <typename Pred>
bool PumpUntil(Pred pred, int timeout_ms = 20000) {
  App();
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > timeout_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents();
    QThread::msleep(1);
  }
  return true;
}

}  // namespace quorpane::testing
