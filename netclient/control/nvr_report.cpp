#include "control/nvr_report.h"

namespace quornet::nvr {

namespace {

// The number after `key` up to the next '&', like atoi over that field: an
// optional sign and leading digits; anything else ends the number. Only the
// low byte is used by callers, so the value wraps instead of overflowing.
uint32_t Field(std::string_view text, std::string_view key) {
  size_t pos = text.find(key);
  if (pos == std::string_view::npos) return 0;
  pos += key.size();
  size_t amp = text.find('&', pos);
  if (amp == std::string_view::npos) return 0;
  std::string_view field = text.substr(pos, amp - pos);
  size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || field[i] == '\t')) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '-' || field[i] == '+')) negative = field[i++] == '-';
  uint32_t v = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
    v = v * 10u + uint32_t(field[i] - '0');
  }
  return negative ? 0u - v : v;
}

}  // namespace

bool HandshakeAccepted(std::string_view reply) {
  return reply.find("ok") != std::string_view::npos;
}

bool ParseReport(std::string_view text, int32_t* value) {
  if (text.find("chan") == std::string_view::npos || text.find("type") == std::string_view::npos) {
    return false;
  }
  uint32_t channel = Field(text, "chan=");
  uint32_t type = Field(text, "type=");
  *value = int32_t(((type & 0xFFu) << 8) | (channel & 0xFFu));
  return true;
}

}  // namespace quornet::nvr
