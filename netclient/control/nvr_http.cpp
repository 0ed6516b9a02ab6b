#include "control/nvr_http.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace quornet::nvrhttp {
namespace {

// The header block after the request line; the recorders expect exactly
// these bytes, in this order.
constexpr char kHeaderFormat[] =
    "%s\r\nAccept: text/plain, */*; q=0.01\r\nAccept-Language: zh-CN\r\n"
    "Accept-Encoding: gzip, deflate\r\nUser-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64; "
    "Trident/7.0; rv:11.0) like Gecko\r\nHost: %s\r\nDNT: 1\r\nConnection: Keep-Alive\r\n%s "
    "usercookie=%s\r\n\r\n";
constexpr char kCookieHeader[] = "Cookie: UserType=admin;";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[kMaxRequestLine + 1];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n < 0 || size_t(n) > kMaxRequestLine) return {};
  return std::string(buf, size_t(n));
}

// Bytes that may stand in the Host header: printable, no space.
bool SafeHeaderText(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x21 || c == 0x7F) return false;
  }
  return true;
}

std::string Str(std::string_view v) {
  return std::string(v);
}

}  // namespace

bool SafeParam(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x21 || c == 0x7F || c == '&') return false;
  }
  return true;
}

std::string_view CookieText(const char* cookie) {
  if (cookie == nullptr) return {};
  return std::string_view(cookie, strnlen(cookie, kCookieSize));
}

std::string BuildRequest(std::string_view line, std::string_view host, std::string_view cookie) {
  if (line.empty() || line.size() > kMaxRequestLine || !SafeHeaderText(host) ||
      !SafeParam(cookie) || cookie.size() > kCookieSize) {
    return {};
  }
  std::string out;
  out.reserve(kMaxRequest);
  // kHeaderFormat with its four "%s" filled in order.
  std::string_view fmt(kHeaderFormat);
  const std::string_view fills[4] = {line, host, kCookieHeader, cookie};
  size_t k = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '%' && i + 1 < fmt.size() && fmt[i + 1] == 's' && k < 4) {
      out.append(fills[k++]);
      ++i;
    } else {
      out.push_back(fmt[i]);
    }
  }
  if (out.size() > kMaxRequest) return {};
  return out;
}

std::string LoginLine(std::string_view user, std::string_view password) {
  if (!SafeParam(user) || !SafeParam(password)) return {};
  if (user.size() + password.size() > kMaxRequestLine) return {};
  return Format("GET /manager?action=login&username=%s&passwd=%s&time=1402025254350 HTTP/1.1",
                Str(user).c_str(), Str(password).c_str());
}

std::string CameraListLine() {
  return "GET /manager?action=ipcbaseqry&time=1402025254547 HTTP/1.1";
}

std::string RtspPortLine() {
  return "GET /manager?action=getrtspport&time=1402044892385 HTTP/1.1";
}

std::string RecordSearchLine(std::string_view date, std::string_view start_time, int32_t count,
                             const int32_t* flags) {
  if (!SafeParam(date) || !SafeParam(start_time)) return {};
  if (date.size() + start_time.size() > kMaxRequestLine) return {};
  if (count > 0 && flags == nullptr) return {};
  std::string chans;
  char entry[32];
  const int32_t n = count > 4 ? count : 4;
  for (int32_t i = 1; i <= n; ++i) {
    const int32_t flag = i <= count ? flags[i - 1] : 0;
    std::snprintf(entry, sizeof entry, "chan%d=%d&", i, flag);
    chans += entry;
    // Stop reading the caller's flags once the line cannot fit any more.
    if (chans.size() > kMaxRequestLine) return {};
  }
  return Format(
      "GET /manager?action=recordquery&datestr=%s&starttime=%s&%slocktype=alltype&"
      "time=1402476336110 HTTP/1.1",
      Str(date).c_str(), Str(start_time).c_str(), chans.c_str());
}

std::string GetPresetLine(int32_t channel) {
  return Format("GET /manager?action=getpreset&chan=%d&time=1402025254547 HTTP/1.1", channel);
}

std::string AddPresetLine(int32_t channel, std::string_view name) {
  if (!SafeParam(name) || name.size() > kMaxRequestLine) return {};
  return Format(
      "GET /manager?action=setpreset&chan=%d&type=add&name=%s&time=1402025254547 HTTP/1.1", channel,
      Str(name).c_str());
}

std::string EditPresetLine(int32_t channel, int32_t preset, std::string_view name) {
  if (!SafeParam(name) || name.size() > kMaxRequestLine) return {};
  return Format(
      "GET /manager?action=setpreset&chan=%d&type=edit&preset=%d&name=%s&time=1402025254547 "
      "HTTP/1.1",
      channel, preset, Str(name).c_str());
}

std::string GotoRemovePresetLine(int32_t channel, int32_t command, int32_t preset) {
  return Format(
      "GET /manager?action=gotoremovepreset&chan=%d&cmd=%d&preset=%d&time=1402025254547 "
      "HTTP/1.1",
      channel, command, preset);
}

std::string PtzLine(int32_t channel, int32_t cmd, int32_t arg1, int32_t arg2) {
  return Format(
      "GET /manager?action=ptzcontrol&chan=%d&cmd=%d&arg1=%d&arg2=%d&time=1403160041502 HTTP/1.1",
      channel, cmd, arg1, arg2);
}

void MapPtzCode(int32_t code, int32_t* cmd, int32_t* arg1) {
  switch (code) {
    case 1:
    case 2:
    case 4:
    case 5:
    case 6:
    case 8:
    case 9:
    case 10:
    case 16:
      *cmd = 1;
      *arg1 = code;
      return;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
      *cmd = 3;
      *arg1 = code;
      return;
    case 100:
    case 200:
    case 400:
      *cmd = 2;
      *arg1 = code / 100;
      return;
    default:
      *cmd = 0;
      *arg1 = code;
  }
}

// ---- Replies -------------------------------------------------------------------

bool HasOk(std::string_view reply) {
  return reply.find("200 OK") != std::string_view::npos;
}

std::optional<std::string_view> LineValue(std::string_view reply, std::string_view key) {
  size_t at = reply.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = reply.substr(at + key.size());
  size_t end = rest.find("\r\n");
  return end == std::string_view::npos ? rest : rest.substr(0, end);
}

bool IsError(std::string_view reply) {
  auto v = LineValue(reply, "Response=");
  return v && v->find("Error") != std::string_view::npos;
}

bool ErrorMessageHas(std::string_view reply, std::string_view text) {
  if (!IsError(reply)) return false;
  auto m = LineValue(reply, "Message=");
  return m && m->find(text) != std::string_view::npos;
}

int32_t ParseLogin(std::string_view reply, char (&cookie)[kCookieSize]) {
  if (!HasOk(reply)) return kRefused;
  if (IsError(reply)) {
    if (ErrorMessageHas(reply, "User not exist")) return kUserNotExist;
    if (ErrorMessageHas(reply, "User already loged in")) return kAlreadyLoggedIn;
    return kRefused;
  }
  auto v = LineValue(reply, "usercookie=");
  if (!v) return kRefused;
  std::string_view c = v->substr(0, kCookieSize);
  if (c.find('\0') != std::string_view::npos || !SafeParam(c)) return kRefused;
  std::memset(cookie, 0, kCookieSize);
  std::memcpy(cookie, c.data(), c.size());
  return 0;
}

std::optional<int32_t> ToInt(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    v = v * 10 + (text[i] - '0');
    if (v > int64_t(INT32_MAX) + 1) return std::nullopt;
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return int32_t(v);
}

namespace {

// "key" with its quotes, built by appending (the one-expression form trips
// g++ 12's -Wrestrict in optimised builds).
std::string QuotedKey(std::string_view key) {
  std::string quoted;
  quoted.reserve(key.size() + 2);
  quoted += '"';
  quoted += key;
  quoted += '"';
  return quoted;
}

}  // namespace

ListReader::ListReader(std::string_view reply, std::string_view list_key) {
  size_t body = reply.find("\r\n\r\n");
  if (body == std::string_view::npos) return;
  text_ = reply.substr(body + 4);
  const std::string quoted = QuotedKey(list_key);
  size_t at = text_.find(quoted);
  if (at == std::string_view::npos) return;
  pos_ = at + quoted.size();
  ok_ = true;
}

std::optional<std::string_view> ListReader::Next(std::string_view key) {
  if (!ok_) return std::nullopt;
  const std::string quoted = QuotedKey(key);
  size_t at = text_.find(quoted, pos_);
  if (at == std::string_view::npos) return std::nullopt;
  size_t colon = text_.find(':', at + quoted.size());
  if (colon == std::string_view::npos) return std::nullopt;
  size_t open = text_.find('"', colon + 1);
  if (open == std::string_view::npos) return std::nullopt;
  size_t close = text_.find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  pos_ = close + 1;
  return text_.substr(open + 1, close - open - 1);
}

bool ReverseAddress(std::string_view addr, char (&out)[16]) {
  int32_t part[4];
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = i < 3 ? addr.find('.', pos) : addr.size();
    if (end == std::string_view::npos) return false;
    std::string_view digits = addr.substr(pos, end - pos);
    if (digits.empty() || digits.size() > 3 || digits[0] == '+' || digits[0] == '-') return false;
    auto v = ToInt(digits);
    if (!v || *v > 255) return false;
    part[i] = *v;
    pos = end + 1;
  }
  // Each part is 0..255: at most 15 characters and the terminator.
  std::snprintf(out, sizeof out, "%u.%u.%u.%u", unsigned{uint8_t(part[3])},
                unsigned{uint8_t(part[2])}, unsigned{uint8_t(part[1])}, unsigned{uint8_t(part[0])});
  return true;
}

void CopyCut(char* field, size_t size, std::string_view text) {
  if (size == 0) return;
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

int32_t ParseCameraList(std::string_view reply, QRNET_NVRChannelList* list) {
  ListReader r(reply, "Data");
  if (!r.ok()) return kNoList;
  int32_t count = 0;
  while (count < QRNET_NVR_MAX_CAMERAS) {
    auto chan = r.Next("chan");
    if (!chan) break;
    auto addr = r.Next("addr");
    if (!addr) break;
    auto number = ToInt(*chan);
    if (!number) break;
    char reversed[16];
    if (!ReverseAddress(*addr, reversed)) continue;
    QRNET_NVRChannelEntry& e = list->entry[count++];
    CopyCut(e.address, sizeof e.address, reversed);
    e.channel = *number;
  }
  return count;
}

int32_t ParseRecordList(std::string_view reply, QRNET_NVRRecordList* list) {
  ListReader r(reply, "Records");
  if (!r.ok()) return kNoList;
  int32_t count = 0;
  while (count < QRNET_NVR_MAX_RECORDS) {
    auto chan = r.Next("chan");
    auto type = chan ? r.Next("type") : std::nullopt;
    auto begin = type ? r.Next("begin") : std::nullopt;
    auto end = begin ? r.Next("end") : std::nullopt;
    auto lock = end ? r.Next("lock") : std::nullopt;
    if (!lock) break;
    auto c = ToInt(*chan), t = ToInt(*type), l = ToInt(*lock);
    if (!c || !t || !l) break;
    QRNET_NVRRecordEntry& e = list->entry[count++];
    e.channel = *c;
    e.type = *t;
    CopyCut(e.begin, sizeof e.begin, *begin);
    CopyCut(e.end, sizeof e.end, *end);
    e.lock = *l;
  }
  return count;
}

int32_t ParsePresetList(std::string_view reply, QRNET_NVRPresetList* list) {
  ListReader r(reply, "Data");
  if (!r.ok()) return kNoList;
  int32_t count = 0;
  while (count < QRNET_NVR_MAX_PRESETS) {
    auto preset = r.Next("preset");
    auto name = preset ? r.Next("name") : std::nullopt;
    if (!name) break;
    auto n = ToInt(*preset);
    if (!n) break;
    QRNET_NVRPresetEntry& e = list->entry[count++];
    e.preset = *n;
    CopyCut(e.name, sizeof e.name, *name);
  }
  return count;
}

int32_t ParseFileServerCameras(std::string_view reply, QRNET_FileServerChannelList* list) {
  ListReader r(reply, "Data");
  if (!r.ok()) return kNoList;
  int32_t count = 0;
  while (count < QRNET_FILESERVER_MAX_CAMERAS) {
    auto chan = r.Next("chan");
    auto type = chan ? r.Next("type") : std::nullopt;
    auto name = type ? r.Next("name") : std::nullopt;
    if (!name) break;
    auto c = ToInt(*chan), t = ToInt(*type);
    if (!c || !t || *t < 0 || *t > 255) break;
    QRNET_FileServerChannelEntry& e = list->entry[count++];
    e.type = uint8_t(*t);
    CopyCut(e.name, sizeof e.name, *name);
    e.channel = *c;
  }
  return count;
}

}  // namespace quornet::nvrhttp
