#include "rtp_packetizer.h"

#include <algorithm>
#include <cstring>

namespace devicesim {

Bytes RtpStream::Start(bool marker, uint32_t timestamp, size_t payload_size) {
  Bytes p(12 + payload_size);
  p[0] = 0x80;  // version 2, no padding, no extension, no CSRC
  p[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | (pt_ & 0x7f));
  p[2] = static_cast<uint8_t>(seq_ >> 8);
  p[3] = static_cast<uint8_t>(seq_);
  p[4] = static_cast<uint8_t>(timestamp >> 24);
  p[5] = static_cast<uint8_t>(timestamp >> 16);
  p[6] = static_cast<uint8_t>(timestamp >> 8);
  p[7] = static_cast<uint8_t>(timestamp);
  p[8] = static_cast<uint8_t>(ssrc_ >> 24);
  p[9] = static_cast<uint8_t>(ssrc_ >> 16);
  p[10] = static_cast<uint8_t>(ssrc_ >> 8);
  p[11] = static_cast<uint8_t>(ssrc_);
  ++seq_;
  return p;
}

std::vector<std::string_view> SplitAnnexB(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  size_t nal_start = std::string_view::npos;
  while (i + 3 <= s.size()) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (nal_start != std::string_view::npos) {
        size_t end = i;
        while (end > nal_start && s[end - 1] == 0) --end;  // zero_byte of the next start code
        if (end > nal_start) out.push_back(s.substr(nal_start, end - nal_start));
      }
      i += 3;
      nal_start = i;
    } else {
      ++i;
    }
  }
  if (nal_start != std::string_view::npos && nal_start < s.size())
    out.push_back(s.substr(nal_start));
  return out;
}

namespace {

// The body of an aggregation packet (H.264 STAP-A, RFC 6184 5.7.1; H.265 AP,
// RFC 7798 4.4.2): the first `count` units, each behind its 16-bit size,
// written into p from `pos` on.
void PutSizedUnits(Bytes& p, size_t pos, const std::vector<std::string_view>& nals, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    p[pos] = static_cast<uint8_t>(nals[i].size() >> 8);
    p[pos + 1] = static_cast<uint8_t>(nals[i].size());
    std::memcpy(p.data() + pos + 2, nals[i].data(), nals[i].size());
    pos += 2 + nals[i].size();
  }
}

}  // namespace

void PacketizeH264(const std::vector<std::string_view>& nals, uint32_t timestamp, RtpStream* rtp,
                   std::vector<Bytes>* out, bool aggregate) {
  size_t n = 0;
  if (aggregate) {
    size_t count = 0, size = 1;
    uint8_t nri = 0;
    while (count < nals.size() && !nals[count].empty()) {
      const auto hdr = static_cast<uint8_t>(nals[count][0]);
      const int type = hdr & 0x1f;
      if (type < 6 || type > 9 || size + 2 + nals[count].size() > kMaxPayload) break;
      size += 2 + nals[count].size();
      nri = std::max<uint8_t>(nri, hdr & 0x60);
      ++count;
    }
    if (count >= 2) {
      Bytes p = rtp->Start(count == nals.size(), timestamp, size);
      p[12] = static_cast<uint8_t>(nri | 24);
      PutSizedUnits(p, 13, nals, count);
      out->push_back(std::move(p));
      n = count;
    }
  }
  for (; n < nals.size(); ++n) {
    std::string_view nal = nals[n];
    if (nal.empty()) continue;
    const bool last_nal = n + 1 == nals.size();
    if (nal.size() <= kMaxPayload) {
      Bytes p = rtp->Start(last_nal, timestamp, nal.size());
      std::memcpy(p.data() + 12, nal.data(), nal.size());
      out->push_back(std::move(p));
      continue;
    }
    // FU-A (RFC 6184 5.8): indicator keeps F and NRI, header carries S, E and
    // the original type; the original header byte itself is not sent.
    const uint8_t hdr = static_cast<uint8_t>(nal[0]);
    const uint8_t indicator = static_cast<uint8_t>((hdr & 0xe0) | 28);
    const size_t chunk = kMaxPayload - 2;
    size_t pos = 1;
    while (pos < nal.size()) {
      const size_t len = std::min(chunk, nal.size() - pos);
      const bool first = pos == 1;
      const bool last = pos + len == nal.size();
      Bytes p = rtp->Start(last && last_nal, timestamp, 2 + len);
      p[12] = indicator;
      p[13] = static_cast<uint8_t>((first ? 0x80 : 0) | (last ? 0x40 : 0) | (hdr & 0x1f));
      std::memcpy(p.data() + 14, nal.data() + pos, len);
      out->push_back(std::move(p));
      pos += len;
    }
  }
}

void PacketizeH265(const std::vector<std::string_view>& nals, uint32_t timestamp, RtpStream* rtp,
                   std::vector<Bytes>* out, bool aggregate) {
  auto type_of = [](std::string_view nal) { return (static_cast<uint8_t>(nal[0]) >> 1) & 0x3f; };
  size_t n = 0;
  if (aggregate) {
    size_t count = 0, size = 2;
    while (count < nals.size() && nals[count].size() >= 2) {
      const int type = type_of(nals[count]);
      if (type < 32 || type > 40 || size + 2 + nals[count].size() > kMaxPayload) break;
      size += 2 + nals[count].size();
      ++count;
    }
    if (count >= 2) {
      Bytes p = rtp->Start(count == nals.size(), timestamp, size);
      // Payload header: F 0, type 48, the lowest layer id (0) and TID (1).
      p[12] = static_cast<uint8_t>(48 << 1);
      p[13] = 1;
      PutSizedUnits(p, 14, nals, count);
      out->push_back(std::move(p));
      n = count;
    }
  }
  for (; n < nals.size(); ++n) {
    std::string_view nal = nals[n];
    if (nal.size() < 2) continue;
    const bool last_nal = n + 1 == nals.size();
    if (nal.size() <= kMaxPayload) {
      Bytes p = rtp->Start(last_nal, timestamp, nal.size());
      std::memcpy(p.data() + 12, nal.data(), nal.size());
      out->push_back(std::move(p));
      continue;
    }
    // FU (RFC 7798 4.4.3): payload header with type 49, then S, E and the
    // unit's type; the unit's own two header bytes are not sent.
    const uint8_t h0 = static_cast<uint8_t>(nal[0]), h1 = static_cast<uint8_t>(nal[1]);
    const size_t chunk = kMaxPayload - 3;
    size_t pos = 2;
    while (pos < nal.size()) {
      const size_t len = std::min(chunk, nal.size() - pos);
      const bool first = pos == 2;
      const bool last = pos + len == nal.size();
      Bytes p = rtp->Start(last && last_nal, timestamp, 3 + len);
      p[12] = static_cast<uint8_t>((h0 & 0x81) | (49 << 1));
      p[13] = h1;
      p[14] = static_cast<uint8_t>((first ? 0x80 : 0) | (last ? 0x40 : 0) | ((h0 >> 1) & 0x3f));
      std::memcpy(p.data() + 15, nal.data() + pos, len);
      out->push_back(std::move(p));
      pos += len;
    }
  }
}

std::optional<JpegParts> ParseJpeg(std::string_view j) {
  auto u8 = [&](size_t i) { return static_cast<uint8_t>(j[i]); };
  if (j.size() < 4 || u8(0) != 0xff || u8(1) != 0xd8) return std::nullopt;
  JpegParts parts;
  bool have_table[2] = {false, false};
  bool have_sof = false;
  size_t i = 2;
  while (i + 4 <= j.size()) {
    if (u8(i) != 0xff) return std::nullopt;
    const uint8_t marker = u8(i + 1);
    if (marker == 0xff) {  // fill byte
      ++i;
      continue;
    }
    const size_t len = (size_t{u8(i + 2)} << 8) | u8(i + 3);
    if (len < 2 || i + 2 + len > j.size()) return std::nullopt;
    std::string_view seg = j.substr(i + 4, len - 2);
    auto s8 = [&](size_t k) { return static_cast<uint8_t>(seg[k]); };
    switch (marker) {
      case 0xdb:  // DQT: one or more 8-bit tables
        for (size_t k = 0; k + 65 <= seg.size(); k += 65) {
          const uint8_t pq_tq = s8(k);
          if ((pq_tq >> 4) != 0 || (pq_tq & 15) > 1) return std::nullopt;
          std::memcpy(parts.tables + 64 * (pq_tq & 15), seg.data() + k + 1, 64);
          have_table[pq_tq & 15] = true;
        }
        break;
      case 0xc0: {  // SOF0, baseline
        if (seg.size() < 15 || s8(0) != 8 || s8(5) != 3) return std::nullopt;
        parts.height = (s8(1) << 8) | s8(2);
        parts.width = (s8(3) << 8) | s8(4);
        const uint8_t y_sampling = s8(7);
        if (s8(10) != 0x11 || s8(13) != 0x11) return std::nullopt;
        if (y_sampling == 0x22) {
          parts.type = 1;
        } else if (y_sampling == 0x21) {
          parts.type = 0;
        } else {
          return std::nullopt;
        }
        have_sof = true;
        break;
      }
      case 0xdd:  // DRI
        if (seg.size() >= 2 && (s8(0) | s8(1)) != 0) return std::nullopt;
        break;
      case 0xc4:
      case 0xe0:
      case 0xfe:
        break;
      case 0xda: {  // SOS: the scan runs to the EOI at the end
        if (!have_sof || !have_table[0]) return std::nullopt;
        if (!have_table[1]) std::memcpy(parts.tables + 64, parts.tables, 64);
        size_t begin = i + 2 + len;
        size_t end = j.size();
        if (end >= begin + 2 && u8(end - 2) == 0xff && u8(end - 1) == 0xd9) end -= 2;
        parts.scan = j.substr(begin, end - begin);
        return parts;
      }
      default:
        if (marker >= 0xc1 && marker <= 0xcf) return std::nullopt;  // not baseline
        break;
    }
    i += 2 + len;
  }
  return std::nullopt;
}

void PacketizeJpeg(const JpegParts& jpeg, uint32_t timestamp, RtpStream* rtp,
                   std::vector<Bytes>* out) {
  const size_t total = jpeg.scan.size();
  size_t offset = 0;
  do {
    const bool first = offset == 0;
    const size_t head = 8 + (first ? 4 + 128 : 0);
    const size_t len = std::min(kMaxPayload - head, total - offset);
    const bool last = offset + len == total;
    Bytes p = rtp->Start(last, timestamp, head + len);
    uint8_t* h = p.data() + 12;
    h[0] = 0;  // type-specific
    h[1] = static_cast<uint8_t>(offset >> 16);
    h[2] = static_cast<uint8_t>(offset >> 8);
    h[3] = static_cast<uint8_t>(offset);
    h[4] = jpeg.type;
    h[5] = 255;  // Q >= 128: tables travel in band (RFC 2435 3.1.4)
    h[6] = static_cast<uint8_t>(jpeg.width / 8);
    h[7] = static_cast<uint8_t>(jpeg.height / 8);
    if (first) {
      h[8] = 0;   // MBZ
      h[9] = 0;   // precision: both tables 8-bit
      h[10] = 0;  // length 128, big-endian
      h[11] = 128;
      std::memcpy(h + 12, jpeg.tables, 128);
    }
    std::memcpy(h + head, jpeg.scan.data() + offset, len);
    out->push_back(std::move(p));
    offset += len;
  } while (offset < total);
}

Bytes AacPayload(std::string_view au) {
  if (au.empty() || au.size() >= (1u << 13)) return {};
  Bytes p(4 + au.size());
  p[0] = 0;
  p[1] = 16;  // AU-headers-length in bits
  p[2] = static_cast<uint8_t>(au.size() >> 5);
  p[3] = static_cast<uint8_t>((au.size() & 0x1f) << 3);
  std::memcpy(p.data() + 4, au.data(), au.size());
  return p;
}

}  // namespace devicesim
