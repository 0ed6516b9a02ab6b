// Window messages that the component windows post to their parents.
//
// A message is a number with two values (wParam, lParam), delivered later on
// the receiver's thread as a WindowMessageEvent (see video_widget.h), in
// posting order. The widgets also emit each message as a signal at the
// moment they post it; an owner uses one of the two, not both.
#pragma once

#include <cstdint>

class QObject;

namespace quorpane {

// Numbers fixed by the control and its components.
inline constexpr uint32_t kMsgClientNotify = 1124;   // library notification (kind, value)
inline constexpr uint32_t kMsgCoverSelected = 1234;  // wParam = cover id
inline constexpr uint32_t kMsgPlayPaneSeek = 1424;   // wParam = second clicked
inline constexpr uint32_t kMsgRulerTick = 2025;      // wParam = tick index

// Queues the message for `receiver` (GUI thread); nothing for null.
void PostWindowMessage(QObject* receiver, uint32_t msg, uint32_t wparam, int32_t lparam);

}  // namespace quorpane
