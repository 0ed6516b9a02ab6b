// Posting window messages between widgets of the GUI thread.
#include "quorpane/window_message.h"

#include <QCoreApplication>

#include "quorpane/video_widget.h"

namespace quorpane {

void PostWindowMessage(QObject* receiver, uint32_t msg, uint32_t wparam, int32_t lparam) {
  if (receiver == nullptr) return;
  QCoreApplication::postEvent(receiver, new WindowMessageEvent(msg, wparam, lparam));
}

}  // namespace quorpane
