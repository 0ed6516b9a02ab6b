// Snapshots (QRNET_ClientCapturePicture): a baseline JFIF JPEG of the picture
// on screen.
//
// The request is stored with the session's display object; the display
// thread, after the next decoded picture, copies the picture's planes and
// hands them to the snapshot encoder thread, which encodes and writes the
// file. The display thread only pays for the copy, so a snapshot never costs
// a shown frame.
//
// The file: SOI; APP0 JFIF 1.01, density units 0, density 1 x 1, no
// thumbnail; DQT 0 (luminance) and DQT 1 (chrominance): the example tables of
// ITU-T T.81 Annex K scaled to 30 % ((30 x q + 50) / 100, clamped to
// 1..255); SOF0, 8 bits, three components 1, 2, 3 sampled 1 x 1 (4:4:4;
// the 4:2:0 chroma is spread over 2 x 2 pixels), component 1 on table 0, 2
// and 3 on table 1; the standard Huffman tables of Annex K.3; one scan; EOI.
// The forward DCT is the floating-point AAN algorithm.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/pixel_convert.h"

namespace quornet {

class CClientSession;

// Annex K tables (natural order) and the scale the snapshot uses.
extern const unsigned int kAnnexKLuminance[64];
extern const unsigned int kAnnexKChrominance[64];
inline constexpr int kSnapshotQuality = 30;  // percent

// Encodes a 4:2:0 picture as described above. False for an empty picture or
// when libjpeg reports an error.
bool EncodeSnapshotJpeg(const YuvPlanes& picture, std::vector<uint8_t>* jpeg);

// QRNET_ClientCapturePicture: makes the directory of `path`, then queues the
// request with the session's display. False for an empty path, a directory
// that cannot be made, or a session without a display.
bool RequestSnapshot(CClientSession& session, const std::string& path);

// Waits until every snapshot handed to the encoder is written (tests).
void WaitForSnapshotsWritten();

}  // namespace quornet
