#include "net/auth.h"

#include <cstring>

extern "C" {
#include <libavutil/md5.h>
}

namespace quornet {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DecodeChar(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (size - i == 1) {
    uint32_t v = uint32_t{p[i]} << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (size - i == 2) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

int Base64Encode(const void* data, size_t size, char* out, size_t out_size) {
  std::string s = Base64Encode(data, size);
  if (out_size == 0) return -1;
  if (s.size() + 1 > out_size) {
    out[0] = '\0';
    return -1;
  }
  std::memcpy(out, s.c_str(), s.size() + 1);
  return static_cast<int>(s.size());
}

bool Base64Decode(std::string_view text, std::vector<uint8_t>* out) {
  out->clear();
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    int v = DecodeChar(c);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  return true;
}

std::string Md5Hex(std::string_view text) {
  uint8_t digest[16];
  av_md5_sum(digest, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(32, '0');
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 15];
  }
  return out;
}

std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view password,
                           std::string_view method, std::string_view uri, std::string_view nonce) {
  auto join = [](std::initializer_list<std::string_view> parts) {
    std::string s;
    bool first = true;
    for (std::string_view p : parts) {
      if (!first) s += ':';
      s.append(p);
      first = false;
    }
    return s;
  };
  std::string ha1 = Md5Hex(join({user, realm, password}));
  std::string ha2 = Md5Hex(join({method, uri}));
  return Md5Hex(join({ha1, nonce, ha2}));
}

std::string DigestResponseQop(std::string_view user, std::string_view realm,
                              std::string_view password, std::string_view method,
                              std::string_view uri, std::string_view nonce, std::string_view nc,
                              std::string_view cnonce, std::string_view qop) {
  std::string ha1 =
      Md5Hex(std::string(user) + ":" + std::string(realm) + ":" + std::string(password));
  std::string ha2 = Md5Hex(std::string(method) + ":" + std::string(uri));
  return Md5Hex(ha1 + ":" + std::string(nonce) + ":" + std::string(nc) + ":" + std::string(cnonce) +
                ":" + std::string(qop) + ":" + ha2);
}

}  // namespace quornet
