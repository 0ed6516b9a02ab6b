#include "control/channel_server.h"

#include <cstdio>

#include "net/auth.h"

namespace quornet::chansrv {
namespace {

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool SafeHeaderText(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

std::string KeyQuery(int32_t channel) {
  return "SYSTEM QUERY KEY\nchannel:" + std::to_string(channel) + "\nEND\n";
}

std::string DeviceKeyQuery(std::string_view device_host, int32_t channel, int32_t rtsp_port,
                           std::string_view user, std::string_view password) {
  if (HasLineBreak(device_host) || HasLineBreak(user) || HasLineBreak(password)) return {};
  std::string q = "SYSTEM QUERY KEY\nhost:";
  q.append(device_host);
  q += "\nchannel:" + std::to_string(channel) + "\nrtsp port:" + std::to_string(rtsp_port) +
       "\nuser:";
  q.append(user);
  q += "\npsw:";
  q.append(password);
  q += "\nEND\n";
  return q;
}

int32_t ParseKey(std::string_view reply) {
  if (reply.find("SYSTEM OK\n") == std::string_view::npos) return -1;
  size_t at = reply.find("channel:");
  if (at == std::string_view::npos) return -1;
  std::string_view value = reply.substr(at + 8);
  value = value.substr(0, value.find('\n'));
  // atoi rules (leading blanks, sign, digits), but a number that does not fit
  // is no key.
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  int64_t v = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    v = v * 10 + (value[i] - '0');
    if (v > INT32_MAX) return -1;
  }
  return int32_t(negative ? -v : v);
}

bool KeyReplyComplete(std::string_view reply) {
  if (reply.find("END\n") != std::string_view::npos) return true;
  size_t ok = reply.find("SYSTEM OK\n");
  if (ok == std::string_view::npos) return false;
  size_t at = reply.find("channel:");
  return at != std::string_view::npos && reply.find('\n', at) != std::string_view::npos;
}

std::string AuthText(std::string_view user, std::string_view password) {
  if (HasLineBreak(user) || HasLineBreak(password)) return {};
  std::string plain(user);
  plain += ':';
  plain.append(password);
  return Base64Encode(plain);
}

std::string GetChannelsCommand(std::string_view auth) {
  if (auth.empty()) return {};
  return "QRURF CMD=GET CHANNEL AUTH=" + std::string(auth) + "\r\n";
}

std::string UpdateChannelCommand(std::string_view auth) {
  if (auth.empty()) return {};
  return "QRURF CMD=UPDATE CHANNEL AUTH=" + std::string(auth) + "\r\n";
}

std::string AlarmOutCommand(int32_t state, int32_t channel) {
  return "QRURF CMD=ALARMOUT STATE=" + std::to_string(state) +
         "\r\nCHANNEL=" + std::to_string(channel) + "\r\n";
}

std::optional<int32_t> WebPort(int32_t rtsp_port) {
  if (rtsp_port == 554) return 80;
  if (rtsp_port <= 2000 || rtsp_port > 65535 + 2000) return std::nullopt;
  return rtsp_port - 2000;
}

std::string WebAlarmOutRequest(std::string_view host, int32_t channel, int32_t state,
                               std::string_view auth) {
  if (host.empty() || !SafeHeaderText(host) || !SafeHeaderText(auth)) return {};
  char first[160];
  std::snprintf(first, sizeof first,
                "GET /goform/device?cmd=set&channel=%d&alarmout.status=%d HTTP/1.1\r\n"
                "Accept: */*\r\n",
                channel, state);
  std::string r = first;
  r += "Accept-Language: zh-cn\r\nReferer: http://";
  r.append(host);
  r += "/Pages/wifi.html\r\nIf-Modified-Since: 0\r\n";
  r += "Accept-Encoding: gzip, deflate\r\n";
  r += "User-Agent: Client/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; InfoPath.2; .NET CLR "
       "2.0.50727)\r\n";
  r += "Host: ";
  r.append(host);
  r += "\r\nConnection: Keep-Alive\r\nAuthorization: Basic ";
  r.append(auth);
  r += "\r\n\r\n";
  return r;
}

bool StatusLineComplete(std::string_view reply) {
  return reply.find('\n') != std::string_view::npos;
}

bool HasOk(std::string_view reply) {
  return reply.find("200 OK") != std::string_view::npos;
}

size_t TableBytes(uint32_t words) {
  if (words > kMaxTableWords) return 0;
  return size_t(words) * 4 + 4;
}

}  // namespace quornet::chansrv
