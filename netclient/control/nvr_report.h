// The recorder alarm channel: handshake and report texts. No sockets here;
// CNVREventReceiver feeds what it receives.
//
// The client opens a TCP connection, sends the 11 bytes "qr_transmit" and
// reads up to 4 bytes that must contain "ok". The recorder then sends reports
// such as "chan=3&type=2&", one per alarm.
#pragma once

#include <cstdint>
#include <string_view>

namespace quornet::nvr {

constexpr std::string_view kHandshake = "qr_transmit";
constexpr size_t kHandshakeReplyBytes = 4;

// True when the handshake answer contains "ok".
bool HandshakeAccepted(std::string_view reply);

// A report is any received text containing "chan" and "type". Its value is
// (type & 0xFF) << 8 | (channel & 0xFF), where channel and type are the
// decimal numbers after "chan=" and "type=" up to the next '&' (a field that
// is missing or has no '&' after it counts as 0). False when the text is not
// a report.
bool ParseReport(std::string_view text, int32_t* value);

}  // namespace quornet::nvr
