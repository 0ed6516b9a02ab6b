// JPEG over RTP (RFC 2435): helpers exposed for tests and for the recorder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quornet {

// Quantisation tables for Q 1..99 (RFC 2435 Appendix A), each 64 entries in
// zigzag order as a DQT segment carries them.
void MakeJpegQuantTables(int q, uint8_t luma[64], uint8_t chroma[64]);

// Picture size of a width or height byte (units of 8 pixels). The devices
// send 0 for 2048 and 64 for 2560 pixels wide pictures.
int JpegWidthFromByte(uint8_t width_byte);
int JpegHeightFromByte(uint8_t height_byte);

// The JFIF header written in front of the scan data: SOI, two DQT, DRI when
// restart_interval is non-zero, SOF0, the four standard Huffman tables
// (ITU-T T.81 K.3) and SOS.
std::vector<uint8_t> BuildJpegHeader(int type, uint8_t width_byte, uint8_t height_byte,
                                     const uint8_t luma[64], const uint8_t chroma[64],
                                     uint16_t restart_interval);

}  // namespace quornet
