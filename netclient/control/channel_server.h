// The channel-server dialect and the device web request for alarm outputs:
// request texts and reply tests as pure functions over bytes; thread-safe.
//
// Key queries are lines ended by a single line feed ("SYSTEM QUERY KEY",
// "key:value" lines, "END"); server commands are one "QRURF CMD=..." line
// ended by CR LF, optionally followed by "KEY=value" lines. Caller texts are
// never escaped: a text that would add or split a line is refused (empty
// result) so that every request that is sent stays byte-identical.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quornet::chansrv {

constexpr size_t kReplyCapacity = 1023;     // key query and command replies
constexpr size_t kWebReplyCapacity = 4096;  // device web reply
constexpr size_t kTableCapacity = 78408;    // channel table
constexpr size_t kUpdateResultCapacity = 79208;
// Most 32-bit words a table to send can announce after its count word.
constexpr uint32_t kMaxTableWords = (kTableCapacity - 4) / 4;

// "SYSTEM QUERY KEY\nchannel:%d\nEND\n".
std::string KeyQuery(int32_t channel);
// The full query naming a device; empty when a text holds CR or LF.
std::string DeviceKeyQuery(std::string_view device_host, int32_t channel, int32_t rtsp_port,
                           std::string_view user, std::string_view password);

// Key of a reply: the number after "channel:" up to the next line feed, when
// the reply holds "SYSTEM OK\n" and "channel:"; else -1.
int32_t ParseKey(std::string_view reply);
// True once a key reply can be judged: the "channel:" line after
// "SYSTEM OK\n" has its line feed, or the server wrote "END\n".
bool KeyReplyComplete(std::string_view reply);

// base64 of "user:password"; empty when a text holds bytes that could split
// the line (CR, LF).
std::string AuthText(std::string_view user, std::string_view password);

// Server commands; empty when `auth` is empty.
std::string GetChannelsCommand(std::string_view auth);
std::string UpdateChannelCommand(std::string_view auth);
std::string AlarmOutCommand(int32_t state, int32_t channel);

// Web port of a device reached directly: 80 for RTSP port 554, else RTSP
// port minus 2000; nullopt when that is not a port (RTSP ports of 2000 and
// below, other than 554, and ports out of range).
std::optional<int32_t> WebPort(int32_t rtsp_port);
// The HTTP request that switches alarm output `channel`; empty when the host
// or the authentication text holds bytes a header cannot carry.
std::string WebAlarmOutRequest(std::string_view host, int32_t channel, int32_t state,
                               std::string_view auth);

// True once a command or web reply can be judged: its first line is
// complete.
bool StatusLineComplete(std::string_view reply);
bool HasOk(std::string_view reply);

// Number of bytes to send for a table whose count word is `words` (4 x n +
// 4); 0 when n is above kMaxTableWords.
size_t TableBytes(uint32_t words);

}  // namespace quornet::chansrv
