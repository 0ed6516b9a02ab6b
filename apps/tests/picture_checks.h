// Checks of pictures from the simulated camera, shared by the qr-view tests.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QImage>
#include <optional>

#include "devicesim/frame_code.h"

namespace qrview::testing {

// The frame number coded into the top band of a saved picture.
inline std::optional<uint32_t> FrameNumber(const QImage& image) {
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  return devicesim::frame_code::DecodeBgrx(rgb.constBits(), int(rgb.bytesPerLine()), rgb.width(),
                                           rgb.height());
}

// Checks the eight colour bars (75 % white, yellow, cyan, green, magenta,
// red, blue, black) a quarter down the picture, each channel high or low.
inline void ExpectColourBars(const QImage& image) {
  static const int kOn[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  const int y = image.height() / 4;
  for (int k = 0; k < 8; ++k) {
    const int x = (2 * k + 1) * image.width() / 16;
    const QRgb p = image.pixel(x, y);
    const int channels[3] = {qRed(p), qGreen(p), qBlue(p)};
    for (int c = 0; c < 3; ++c) {
      if (kOn[k][c]) {
        EXPECT_GT(channels[c], 150) << "bar " << k << " channel " << c;
      } else {
        EXPECT_LT(channels[c], 50) << "bar " << k << " channel " << c;
      }
    }
  }
}

// A loopback port with nothing listening.
inline uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

}  // namespace qrview::testing
