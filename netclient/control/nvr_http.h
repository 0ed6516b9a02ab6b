// The recorder's HTTP management dialect: request texts and reply parsing.
//
// Pure functions over bytes, no sockets; thread-safe. Requests are GET lines
// on "/manager?action=..." followed by a fixed header block whose bytes the
// recorders rely on, so builders never escape anything: a caller text that
// would change the shape of a request (space, "&", control characters) or
// make it longer than its limit is refused and nothing is sent.
//
// Replies are text: "Key=value\r\n" lines anywhere in the reply, and a body
// (after the first blank line) holding a list of quoted "key":"value" fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quornet.h"

namespace quornet::nvrhttp {

constexpr size_t kMaxRequest = 4096;      // whole request
constexpr size_t kMaxRequestLine = 1024;  // request line
constexpr size_t kCookieSize = 8;         // cookie field, no terminator
constexpr char kLoginCookie[] = "7c3e19a4";
constexpr char kFileServerCookie[] = "00000000";

// Result codes of the list calls.
enum Code : int32_t {
  kRefused = -1,          // no "200 OK", or login refused (other message)
  kUserNotExist = -2,     // login refused: "User not exist"
  kAlreadyLoggedIn = -3,  // login refused: "User already loged in"
  kSendFailed = -4,
  kRecvFailed = -5,  // connection or receive failed
  kNoList = -7,      // reply without body or list marker
  kResolveFailed = -11,
};

// True when `text` may stand in a request parameter unchanged: no byte below
// 0x21, no 0x7F, no "&".
bool SafeParam(std::string_view text);

// The cookie field as text: at most 8 bytes, ending at the first NUL.
std::string_view CookieText(const char* cookie);

// The whole request for `line`: the request line, the fixed header block with
// `host` as given and the cookie. Empty when the line is longer than
// kMaxRequestLine, the request longer than kMaxRequest, or host or cookie
// hold bytes a request cannot carry.
std::string BuildRequest(std::string_view line, std::string_view host, std::string_view cookie);

// Request lines; empty when a caller text is refused (see SafeParam) or the
// line would be too long.
std::string LoginLine(std::string_view user, std::string_view password);
std::string CameraListLine();
std::string RtspPortLine();
// Channel flags "chan%d=%d&" for channels 1..count (flags[i] for channel
// i + 1), padded with value 0 up to channel 4. `flags` is read only as far
// as the line still fits.
std::string RecordSearchLine(std::string_view date, std::string_view start_time, int32_t count,
                             const int32_t* flags);
std::string GetPresetLine(int32_t channel);
std::string AddPresetLine(int32_t channel, std::string_view name);
std::string EditPresetLine(int32_t channel, int32_t preset, std::string_view name);
std::string GotoRemovePresetLine(int32_t channel, int32_t command, int32_t preset);
std::string PtzLine(int32_t channel, int32_t cmd, int32_t arg1, int32_t arg2);

// Request fields cmd and arg1 for a PTZ code.
void MapPtzCode(int32_t code, int32_t* cmd, int32_t* arg1);

// ---- Replies -----------------------------------------------------------------

bool HasOk(std::string_view reply);
// Text after the first occurrence of `key` up to the next "\r\n" (or the end
// of the reply).
std::optional<std::string_view> LineValue(std::string_view reply, std::string_view key);
// A "Response=" value containing "Error".
bool IsError(std::string_view reply);
// The "Message=" value of an error reply contains `text`.
bool ErrorMessageHas(std::string_view reply, std::string_view text);

// Login reply: 0 with the first 8 bytes of the "usercookie=" value in
// cookie[0, 8) (zero-filled when shorter), or a Code. A cookie holding bytes
// that could not be sent back in a request is refused (kRefused).
int32_t ParseLogin(std::string_view reply, char (&cookie)[kCookieSize]);

// Strict decimal conversion for list fields: optional sign and digits, the
// whole text; nullopt when it is empty, not a number or outside int32.
std::optional<int32_t> ToInt(std::string_view text);

// Reads quoted list fields: the body starts after the first "\r\n\r\n", the
// list at the first occurrence of the quoted list key ("Data" or
// "Records"). Each Next(key) finds the quoted key from the current position
// and returns the text between the next two double quotes after its colon.
class ListReader {
 public:
  // Fails (ok() false) without body or list marker.
  ListReader(std::string_view reply, std::string_view list_key);
  bool ok() const { return ok_; }
  std::optional<std::string_view> Next(std::string_view key);

 private:
  std::string_view text_;
  size_t pos_ = 0;
  bool ok_ = false;
};

// Recorder address "a.b.c.d" stored in reverse order ("d.c.b.a"); false when
// it is not four numbers 0..255.
bool ReverseAddress(std::string_view addr, char (&out)[16]);

// Parsers into the caller's records: each returns the number of entries
// stored (never more than the record's documented maximum), or kNoList.
// Fields are written only for stored entries; texts are cut to their field
// and terminated.
int32_t ParseCameraList(std::string_view reply, QRNET_NVRChannelList* list);
int32_t ParseRecordList(std::string_view reply, QRNET_NVRRecordList* list);
int32_t ParsePresetList(std::string_view reply, QRNET_NVRPresetList* list);
int32_t ParseFileServerCameras(std::string_view reply, QRNET_FileServerChannelList* list);

// Copies `text` into a field of `size` bytes, cut to size - 1 and terminated.
void CopyCut(char* field, size_t size, std::string_view text);

}  // namespace quornet::nvrhttp
