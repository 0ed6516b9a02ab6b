#include "control/event_receiver.h"

#include <chrono>
#include <cstring>

#include "control/mctp.h"
#include "control/mctp_exchange.h"
#include "control/session_fields.h"
#include "session/client_session.h"

namespace quornet {

namespace {

// Subscription connection: the send and receive waits are long because some
// devices answer the subscription only after their stream has settled.
constexpr mctp::Timeouts kSubscribeTimeouts{1000, 10000, 10000};

}  // namespace

CEventReceiver2::~CEventReceiver2() {
  Stop();
}

bool CEventReceiver2::Start(CClientSession* session, std::string_view rtsp_session_id) {
  if (session == nullptr || session_ != nullptr) return false;
  session_ = session;
  subscription_ = mctp::BuildAliveSubscribe(rtsp_session_id, session->channel);
  if (subscription_.empty() || !Subscribe()) return false;
  if (JThread::Start() != 0) {
    sock_.Close();
    return false;
  }
  return true;
}

bool CEventReceiver2::StartInBackground(CClientSession* session, std::string_view rtsp_session_id) {
  if (session == nullptr || session_ != nullptr) return false;
  session_ = session;
  subscription_ = mctp::BuildAliveSubscribe(rtsp_session_id, session->channel);
  if (subscription_.empty()) return false;
  subscribe_on_thread_ = true;
  return JThread::Start() == 0;
}

bool CEventReceiver2::Subscribe() {
  const CClientSession* session = session_;
  if (!sock_.Create(session->host, session->port, kSubscribeTimeouts.connect_ms,
                    kSubscribeTimeouts.send_ms, kSubscribeTimeouts.recv_ms, -1)) {
    return false;
  }
  // Create forgets a Close that came before it: a stop requested by then is
  // seen here, a later one wakes the calls below.
  if (stop_.load(std::memory_order_acquire) || !sock_.Connect() ||
      !sock_.Send(subscription_.data(), int32_t(subscription_.size()))) {
    sock_.Close();
    return false;
  }
  char reply[mctp::kReplyCapacity];
  int32_t received = 0;
  if (!sock_.Recv(reply, int32_t(sizeof reply), &received) || received <= 0) {
    sock_.Close();
    return false;
  }
  // A report the device sends right behind its reply may share the receive:
  // the reply ends with its "END\n", what follows belongs to the channel.
  std::string_view text(reply, size_t(received));
  size_t end = text.find("END\n");
  if (end != std::string_view::npos) end += 4;
  std::string_view answer = text.substr(0, end);
  if (!mctp::ParseAliveReply(answer)) {
    qrplat::DebugOutput("event channel: subscription refused\n");
    sock_.Close();
    return false;
  }
  std::string_view rest = end == std::string_view::npos ? std::string_view() : text.substr(end);
  if (!rest.empty()) {
    auto span = buffer_.PrepareWrite();
    std::memcpy(span.data(), rest.data(), rest.size());  // rest < 1024 <= capacity
    buffer_.Commit(rest.size());
  }
  sock_.SetRecvTimeOut(kPollMs);
  return true;
}

void CEventReceiver2::Stop() {
  stop_.store(true, std::memory_order_release);
  sock_.Close();
  Wait();
}

int CEventReceiver2::ReceiveSome(char* buffer, size_t capacity) {
  // The socket reports a time-out and a closed channel alike; a receive that
  // gives up well before its time-out did not time out.
  const auto begin = std::chrono::steady_clock::now();
  int32_t received = 0;
  if (sock_.Recv(buffer, int32_t(capacity), &received) && received > 0) return received;
  const auto waited = std::chrono::steady_clock::now() - begin;
  return waited >= std::chrono::milliseconds(kPollMs / 2) ? 0 : -1;
}

int32_t CEventReceiver2::Thread() {
  const std::string keep_alive = mctp::BuildAliveKeepAlive();
  uint32_t last_keep_alive = 0;
  bool first = true;
  std::string message;
  if (subscribe_on_thread_ && !Subscribe()) return 0;
  // Reports that arrived together with the subscription reply.
  while (buffer_.Next(&message)) {
    if (!HandleMessage(message)) return 0;
  }
  while (!stop_.load(std::memory_order_acquire)) {
    const uint32_t now = qrplat::TickCount();
    if (first || now - last_keep_alive >= kKeepAliveMs) {
      if (!sock_.Send(keep_alive.data(), int32_t(keep_alive.size()))) {
        qrplat::DebugOutput("event channel: keep-alive failed\n");
        break;
      }
      last_keep_alive = now;
      first = false;
    }
    std::span<char> space = buffer_.PrepareWrite();
    int n = ReceiveSome(space.data(), space.size());
    if (n < 0) {
      qrplat::DebugOutput("event channel: closed\n");
      break;
    }
    buffer_.Commit(size_t(n));
    bool go_on = true;
    while (go_on && buffer_.Next(&message)) go_on = HandleMessage(message);
    if (!go_on) break;
  }
  return 0;
}

bool CEventReceiver2::HandleMessage(std::string_view message) {
  mctp::EventMessage ev = mctp::ParseEventMessage(message);
  switch (ev.kind) {
    case mctp::EventMessage::Kind::kMotion:
      StoreMotionReport(*session_, ev.mask, ev.rect, qrplat::TickCount());
      session_->Notify(2, int32_t(ev.mask));
      break;
    case mctp::EventMessage::Kind::kAlarm:
      session_->Notify(4, ev.alarm_input);
      break;
    case mctp::EventMessage::Kind::kMalformed:
      // A garbled alarm report is dropped; the channel stays usable for the
      // reports that follow.
      qrplat::DebugOutput("event channel: malformed alarm report ignored\n");
      break;
    case mctp::EventMessage::Kind::kIgnored:
      break;
  }
  return true;
}

}  // namespace quornet
