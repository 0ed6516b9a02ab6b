// CQuorsock against a real loopback peer: connect, send and receive, time-outs,
// a Close from another thread, and whole HTTP replies.
#include "net/quorsock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace quornet {
namespace {

// A listening socket on 127.0.0.1 that serves one connection with `script`.
class Peer {
 public:
  explicit Peer(std::function<void(int fd)> script) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    EXPECT_EQ(::listen(listen_fd_, 4), 0);
    socklen_t len = sizeof(a);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script] {
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      script(fd);
      ::close(fd);
    });
  }
  ~Peer() {
    ::shutdown(listen_fd_, SHUT_RDWR);  // ends an accept that never got a client
    thread_.join();
    ::close(listen_fd_);
  }
  int port() const { return port_; }

 private:
  int listen_fd_;
  int port_ = 0;
  std::thread thread_;
};

void SendText(int fd, const std::string& s) {
  ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
}

// Sends `s` in pieces of `step` bytes with a pause between, to exercise the
// reader's reassembly.
void SendSlowly(int fd, const std::string& s, size_t step) {
  for (size_t i = 0; i < s.size(); i += step) {
    SendText(fd, s.substr(i, step));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Waits until the peer closes (the client has read everything).
void WaitClose(int fd) {
  char c;
  while (::recv(fd, &c, 1, 0) > 0) {
  }
}

int UnusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);  // bound, never listened: nothing answers there
  return ntohs(a.sin_port);
}

TEST(Quorsock, ExchangeWithEchoPeer) {
  Peer peer([](int fd) {
    char buf[64];
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n > 0) ::send(fd, buf, size_t(n), 0);
    WaitClose(fd);
  });
  CQuorsock sock(0);
  ASSERT_EQ(sock.Create("127.0.0.1", peer.port(), 1000, 1000, 2000), 1);
  ASSERT_EQ(sock.Connect(), 1);
  EXPECT_EQ(sock.SetNoDelay(1), 1);
  EXPECT_EQ(sock.SetRecvBuff(0x4000), 1);
  EXPECT_EQ(sock.SetSendBuff(0x2000), 1);
  ASSERT_EQ(sock.Send("GET_STATUS", 10), 1);
  char buf[0x400];
  int32_t got = 0;
  ASSERT_EQ(sock.Recv(buf, sizeof(buf) - 1, &got), 1);
  buf[got] = 0;
  EXPECT_STREQ(buf, "GET_STATUS");
  sock.Close();
  EXPECT_EQ(sock.Send("x", 1), 0);
  sock.Close();  // twice is fine
}

TEST(Quorsock, AddressFormOfCreateAndConnect) {
  Peer peer([](int fd) { SendText(fd, "hi"); });
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(peer.port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  CQuorsock sock;
  EXPECT_EQ(sock.SetNoDelay(1), 0);  // no socket yet
  ASSERT_EQ(sock.Create(AF_INET, 1000, 1000, 1000, -1), 1);
  ASSERT_EQ(sock.Connect(reinterpret_cast<sockaddr*>(&a), sizeof(a)), 1);
  char buf[8];
  EXPECT_EQ(sock.RecvFull(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "hi");
}

TEST(Quorsock, ConnectFailsWhereNothingListens) {
  CQuorsock sock;
  ASSERT_EQ(sock.Create("127.0.0.1", UnusedPort(), 1000, 1000, 1000), 1);
  EXPECT_EQ(sock.Connect(), 0);
  EXPECT_EQ(sock.Create("127.0.0.1", 0, 1000, 1000, 1000), 0);
  EXPECT_EQ(sock.Create(static_cast<const char*>(nullptr), 80, 1000, 1000, 1000), 0);
}

TEST(Quorsock, ReceiveTimesOutOnSilentPeer) {
  std::promise<void> release;
  auto released = release.get_future();
  Peer peer([&](int) { released.wait(); });
  CQuorsock sock;
  ASSERT_EQ(sock.Create("127.0.0.1", peer.port(), 1000, 1000, 100), 1);
  ASSERT_EQ(sock.Connect(), 1);
  char buf[16];
  int32_t got = -1;
  EXPECT_EQ(sock.Recv(buf, sizeof(buf), &got), 0);
  EXPECT_EQ(got, 0);
  sock.SetRecvTimeOut(50);
  EXPECT_EQ(sock.RecvFull(buf, 4), 0);
  release.set_value();
}

TEST(Quorsock, CloseFromAnotherThreadEndsBlockedReceive) {
  std::promise<void> release;
  auto released = release.get_future();
  Peer peer([&](int) { released.wait(); });
  CQuorsock sock;
  // Receive time-out 0: the receive waits without limit.
  ASSERT_EQ(sock.Create("127.0.0.1", peer.port(), 1000, 1000, 0), 1);
  ASSERT_EQ(sock.Connect(), 1);
  auto receive = std::async(std::launch::async, [&] {
    char buf[16];
    int32_t got = 0;
    return sock.Recv(buf, sizeof(buf), &got);
  });
  EXPECT_EQ(receive.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  sock.Close();
  ASSERT_EQ(receive.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(receive.get(), 0);
  release.set_value();
}

TEST(Quorsock, RecvFullFailsWhenPeerClosesEarly) {
  std::string big(10000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i % 26);
  Peer peer([&](int fd) {
    SendSlowly(fd, big, 1500);
    SendText(fd, "12345");
  });
  CQuorsock sock;
  ASSERT_EQ(sock.Create("127.0.0.1", peer.port(), 1000, 1000, 2000), 1);
  ASSERT_EQ(sock.Connect(), 1);
  std::string buf(10000, 0);
  ASSERT_EQ(sock.RecvFull(buf.data(), 10000), 10000);
  EXPECT_EQ(buf, big);
  EXPECT_EQ(sock.RecvFull(buf.data(), 10), 0);  // only 5 more, then close
}

// Fetches one HTTP reply served by `reply` (sent in pieces of `step`).
std::pair<int32_t, std::string> FetchHttp(const std::string& reply, size_t step, int32_t capacity,
                                          bool close_after = true, int32_t* received = nullptr) {
  std::promise<void> done;
  auto finished = done.get_future();
  Peer peer([&](int fd) {
    SendSlowly(fd, reply, step);
    if (!close_after) finished.wait();
  });
  CQuorsock sock;
  EXPECT_EQ(sock.Create("127.0.0.1", peer.port(), 1000, 1000, 300), 1);
  EXPECT_EQ(sock.Connect(), 1);
  std::string buf(size_t(capacity), '\xAA');
  int32_t got = -1;
  int32_t r = sock.RecvFullHttp(buf.data(), capacity, &got);
  if (!close_after) done.set_value();
  if (received) *received = got;
  EXPECT_GE(got, 0);
  EXPECT_LT(got, capacity);
  EXPECT_EQ(buf[size_t(got)], 0);  // always terminated inside the buffer
  return {r, buf.substr(0, size_t(got))};
}

TEST(QuorsockHttp, ContentLengthReplyEndsAtItsLength) {
  const std::string head = "HTTP/1.1 200 OK\r\ncontent-length: 12\r\nServer: x\r\n\r\n";
  // The peer keeps the connection open: the length alone ends the reply.
  auto [r, text] = FetchHttp(head + "SYSTEM OK\nxyEXTRA", 7, 0x1000, false);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(text, head + "SYSTEM OK\nxy");
}

TEST(QuorsockHttp, ChunkedReplyIsStoredDechunked) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n";
  const std::string body =
      "5;name=v\r\nchann\r\n"
      "10\r\nel=1&channel=2&x\r\n"
      "0\r\nTrailer: t\r\n\r\n";
  auto [r, text] = FetchHttp(head + body, 3, 0x1000, false);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(text, head + "channel=1&channel=2&x");
}

TEST(QuorsockHttp, ChunkedReplyCutShortFails) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  auto [r, text] = FetchHttp(head + "20\r\nonly ten b", 64, 0x1000);
  EXPECT_EQ(r, 0);
}

TEST(QuorsockHttp, CloseDelimitedReply) {
  const std::string reply = "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nResponse=1\n";
  auto [r, text] = FetchHttp(reply, 5, 0x1000);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(text, reply);
  // A bare status line ended by the close is a reply too.
  auto [r2, text2] = FetchHttp("HTTP/1.0 200 OK\r\n", 64, 0x1000);
  EXPECT_EQ(r2, 1);
  EXPECT_EQ(text2, "HTTP/1.0 200 OK\r\n");
}

TEST(QuorsockHttp, ReplyLargerThanCapacityFailsAndStaysInBounds) {
  std::string body(500, 'b');
  std::string with_length = "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + body;
  int32_t got = 0;
  EXPECT_EQ(FetchHttp(with_length, 128, 256, true, &got).first, 0);
  EXPECT_LE(got, 255);
  std::string close_delimited = "HTTP/1.0 200 OK\r\n\r\n" + body;
  EXPECT_EQ(FetchHttp(close_delimited, 128, 256).first, 0);
  std::string chunked =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1f4\r\n" + body + "\r\n0\r\n\r\n";
  EXPECT_EQ(FetchHttp(chunked, 128, 256).first, 0);
  // Exactly full: the terminator still fits.
  std::string exact = "HTTP/1.0 200 OK\r\n\r\n" + std::string(255 - 19, 'c');
  auto [r, text] = FetchHttp(exact, 128, 256);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(text, exact);
}

TEST(QuorsockHttp, ReplyWithoutBodyEndsAtHeaders) {
  const std::string reply = "HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n";
  auto [r, text] = FetchHttp(reply, 64, 0x1000, false);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(text, reply);
}

}  // namespace
}  // namespace quornet
