// Authorization helpers shared by the RTSP client, the NVR management requests
// and the channel-server queries: the Base64 encoder (RFC 4648) and the HTTP
// Digest response (RFC 2617 section 3.2.2, without the qop parameter, which
// the devices never offer).
//
// Pure functions over bytes; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quornet {

// Standard alphabet with "=" padding (RFC 4648 section 4).
std::string Base64Encode(const void* data, size_t size);
inline std::string Base64Encode(std::string_view text) {
  return Base64Encode(text.data(), text.size());
}

// Writes the encoding of data, zero-terminated, into out. Returns the length
// without the terminator, or -1 (out left as an empty text when out_size > 0)
// when it does not fit.
int Base64Encode(const void* data, size_t size, char* out, size_t out_size);

// Decodes standard-alphabet Base64. Stops at "=" or at the end of the text;
// any other character outside the alphabet makes the whole decode fail
// (returns false). Partial final groups of 2 or 3 characters are accepted.
bool Base64Decode(std::string_view text, std::vector<uint8_t>* out);

// MD5 of text as 32 lower-case hexadecimal characters.
std::string Md5Hex(std::string_view text);

// response = MD5(MD5(user:realm:password):nonce:MD5(method:uri)), lower-case
// hex. The uri the RTSP client passes is always its base URL.
std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view password,
                           std::string_view method, std::string_view uri, std::string_view nonce);

// The same with quality of protection "auth" (RFC 2617 3.2.2.1):
// MD5(HA1:nonce:nc:cnonce:qop:HA2); nc is 8 hexadecimal digits.
std::string DigestResponseQop(std::string_view user, std::string_view realm,
                              std::string_view password, std::string_view method,
                              std::string_view uri, std::string_view nonce, std::string_view nc,
                              std::string_view cnonce, std::string_view qop);

}  // namespace quornet
