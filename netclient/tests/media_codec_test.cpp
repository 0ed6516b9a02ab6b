// G.711 tables, the G.726 voice engine and AAC decoding, checked against ITU-T
// values and against libavcodec's own AAC encoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "media/codec_aac.h"
#include "media/codec_g711.h"
#include "media/codec_g726.h"
#include "tests/test_signals.h"

namespace {

using quornet::test::Rms;
using quornet::test::SnrDb;
using quornet::test::Tone;
using quornet::test::ToneShare;

// ---------------------------------------------------------------- G.711

TEST(G711, DecodesItuReferenceValues) {
  EXPECT_EQ(g711::LinearFromAlaw(0xD5), 8);
  EXPECT_EQ(g711::LinearFromAlaw(0x55), -8);
  EXPECT_EQ(g711::LinearFromAlaw(0xAA), 32256);
  EXPECT_EQ(g711::LinearFromAlaw(0x2A), -32256);
  EXPECT_EQ(g711::LinearFromAlaw(0xD4), 24);   // segment 0, mantissa 1
  EXPECT_EQ(g711::LinearFromAlaw(0xC5), 264);  // segment 1, mantissa 0
  EXPECT_EQ(g711::LinearFromUlaw(0xFF), 0);
  EXPECT_EQ(g711::LinearFromUlaw(0x7F), 0);
  EXPECT_EQ(g711::LinearFromUlaw(0x00), -32124);
  EXPECT_EQ(g711::LinearFromUlaw(0x80), 32124);
  EXPECT_EQ(g711::LinearFromUlaw(0xFE), 8);
  EXPECT_EQ(g711::LinearFromUlaw(0xEF), 132);  // first step of segment 1
}

TEST(G711, EncodesItuReferenceValues) {
  EXPECT_EQ(g711::AlawFromLinear(0), 0xD5);
  EXPECT_EQ(g711::AlawFromLinear(-1), 0x55);  // decision levels symmetric around -0.5
  EXPECT_EQ(g711::AlawFromLinear(32767), 0xAA);
  EXPECT_EQ(g711::AlawFromLinear(-32768), 0x2A);
  EXPECT_EQ(g711::UlawFromLinear(0), 0xFF);
  EXPECT_EQ(g711::UlawFromLinear(-1), 0x7F);
  EXPECT_EQ(g711::UlawFromLinear(32767), 0x80);
  EXPECT_EQ(g711::UlawFromLinear(-32768), 0x00);
}

TEST(G711, EveryCodeRoundTripsAndEverySampleStaysWithinHalfAStep) {
  for (int c = 0; c < 256; ++c) {
    const auto code = static_cast<uint8_t>(c);
    EXPECT_EQ(g711::AlawFromLinear(g711::LinearFromAlaw(code)), code) << c;
    if (code != 0x7F) {  // mu-law's negative zero encodes back as positive zero
      EXPECT_EQ(g711::UlawFromLinear(g711::LinearFromUlaw(code)), code) << c;
    }
  }
  int prev_a = -32768, prev_u = -32768;
  for (int x = -32768; x <= 32767; ++x) {
    const auto s = static_cast<int16_t>(x);
    const int a = g711::LinearFromAlaw(g711::AlawFromLinear(s));
    const int u = g711::LinearFromUlaw(g711::UlawFromLinear(s));
    // Half a quantisation step: 1/32 of the segment's lower bound, at least 8
    // (A-law) or 4 (mu-law, biased by 132); the top codes clip.
    ASSERT_LE(std::abs(a - x), std::max(8, std::abs(x) / 32 + 1)) << x;
    ASSERT_LE(std::abs(u - x), std::max(4, (std::abs(x) + 132) / 32 + 1)) << x;
    ASSERT_GE(a, prev_a) << x;  // monotonic
    ASSERT_GE(u, prev_u) << x;
    prev_a = a;
    prev_u = u;
  }
}

TEST(G711, StateFunctionsCheckModeAndCapacity) {
  const uint8_t codes[4] = {0xD5, 0x55, 0xAA, 0x2A};
  int16_t out[4] = {1, 1, 1, 1};
  uint16_t count = 99;

  VoiceCodecState alaw{kVoiceModeAlaw};
  ASSERT_EQ(avcodec_Voice_DecInit(&alaw), 0);
  ASSERT_EQ(avcodec_Voice_Dec(&alaw, codes, 4, out, 4, &count), 0);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(out[0], 8);
  EXPECT_EQ(out[3], -32256);

  // Output too small: nothing written, count 0.
  int16_t small[3] = {7, 7, 7};
  EXPECT_EQ(avcodec_Voice_Dec(&alaw, codes, 4, small, 3, &count), -1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(small[0], 7);

  VoiceCodecState bad{'x'};
  EXPECT_EQ(avcodec_Voice_DecInit(&bad), -1);
  EXPECT_EQ(avcodec_Voice_Dec(&bad, codes, 4, out, 4, &count), -1);

  VoiceCodecState ulaw{kVoiceModeUlaw};
  ASSERT_EQ(avcodec_Voice_EncInit(&ulaw), 0);
  const int16_t pcm[3] = {0, -32768, 32767};
  uint8_t enc[3];
  ASSERT_EQ(avcodec_Voice_Enc(&ulaw, pcm, 3, enc, 3, &count), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(enc[0], 0xFF);
  EXPECT_EQ(enc[1], 0x00);
  EXPECT_EQ(enc[2], 0x80);
  EXPECT_EQ(avcodec_Voice_Enc(&ulaw, pcm, 3, enc, 2, &count), -1);
}

// ---------------------------------------------------------------- voice engine

// Encodes a 1 kHz tone in 20 ms voice frames and decodes them again; returns
// the SNR after the predictor has adapted (first 100 ms skipped).
double VoiceEngineToneSnr(int type) {
  const size_t kFrame = 160, kFrames = 100;
  const auto tone = Tone(1000, 8000, kFrame * kFrames, 8000);
  VoiceEngineState enc, dec;
  EXPECT_EQ(HI_VOICE_EncReset(&enc, type), 0);
  EXPECT_EQ(HI_VOICE_DecReset(&dec, type), 0);
  const size_t payload = kFrame * size_t(VoiceEngineBitsPerSample(type)) / 8;
  std::vector<int16_t> decoded;
  for (size_t f = 0; f < kFrames; ++f) {
    uint8_t frame[4 + 160];
    if (HI_VOICE_EncodeFrame(&enc, tone.data() + f * kFrame, frame, sizeof frame, kFrame) != 0) {
      ADD_FAILURE() << "encode failed, type " << type;
      return 0;
    }
    EXPECT_EQ(frame[0], 0x00);
    EXPECT_EQ(frame[1], 0x01);
    EXPECT_EQ(size_t(frame[2] | frame[3] << 8), payload / 2);
    int16_t pcm[kFrame];
    uint16_t count = 0;
    if (HI_VOICE_DecodeFrame(&dec, frame, 4 + payload, pcm, kFrame, &count) != 0 ||
        count != kFrame) {
      ADD_FAILURE() << "decode failed, type " << type;
      return 0;
    }
    decoded.insert(decoded.end(), pcm, pcm + count);
  }
  const size_t skip = 800;
  return SnrDb(tone.data() + skip, decoded.data() + skip, tone.size() - skip);
}

TEST(VoiceEngine, G726ToneSnrRisesWithBitRate) {
  const double snr16 = VoiceEngineToneSnr(kVoiceTypeG726_16);
  const double snr24 = VoiceEngineToneSnr(kVoiceTypeG726_24);
  const double snr32 = VoiceEngineToneSnr(kVoiceTypeG726_32);
  const double snr40 = VoiceEngineToneSnr(kVoiceTypeG726_40);
  std::printf("G.726 1 kHz tone SNR: 16k %.1f dB, 24k %.1f dB, 32k %.1f dB, 40k %.1f dB\n", snr16,
              snr24, snr32, snr40);
  RecordProperty("snr_16k", std::to_string(snr16));
  RecordProperty("snr_40k", std::to_string(snr40));
  // Measured with libavcodec 59: 22, 27, 36, 42 dB.
  EXPECT_GT(snr16, 15);
  EXPECT_GT(snr24, 20);
  EXPECT_GT(snr32, 28);
  EXPECT_GT(snr40, 34);
  EXPECT_LT(snr16, snr24);
  EXPECT_LT(snr24, snr32);
  EXPECT_LT(snr32, snr40);
}

TEST(VoiceEngine, G711TypesUseTheTablesInVoiceFrames) {
  VoiceEngineState enc, dec;
  ASSERT_EQ(HI_VOICE_EncReset(&enc, kVoiceTypeG711Ulaw), 0);
  ASSERT_EQ(HI_VOICE_DecReset(&dec, kVoiceTypeG711Ulaw), 0);
  const auto tone = Tone(1000, 8000, 160, 12000);
  uint8_t frame[4 + 160];
  ASSERT_EQ(HI_VOICE_EncodeFrame(&enc, tone.data(), frame, sizeof frame, 160), 0);
  EXPECT_EQ(frame[2] | frame[3] << 8, 80);
  for (size_t i = 0; i < 160; ++i) ASSERT_EQ(frame[4 + i], g711::UlawFromLinear(tone[i]));
  // Framing the bare payload (as the audio player does for received audio)
  // gives the same bytes; odd payloads and short outputs are refused.
  uint8_t framed[4 + 160];
  EXPECT_EQ(VoiceFrameBuild(frame + 4, 160, framed, sizeof framed), sizeof framed);
  EXPECT_EQ(std::memcmp(framed, frame, sizeof frame), 0);
  EXPECT_EQ(VoiceFrameBuild(frame + 4, 159, framed, sizeof framed), 0u);
  EXPECT_EQ(VoiceFrameBuild(frame + 4, 160, framed, sizeof framed - 1), 0u);
  int16_t pcm[160];
  uint16_t count = 0;
  ASSERT_EQ(HI_VOICE_DecodeFrame(&dec, frame, sizeof frame, pcm, 160, &count), 0);
  ASSERT_EQ(count, 160);
  for (size_t i = 0; i < 160; ++i) ASSERT_EQ(pcm[i], g711::LinearFromUlaw(frame[4 + i]));
}

TEST(VoiceEngine, RejectsMalformedFramesAndMisuse) {
  VoiceEngineState dec;
  EXPECT_EQ(HI_VOICE_DecReset(&dec, 3), -1);  // no such type
  EXPECT_EQ(HI_VOICE_DecReset(&dec, 8), -1);
  ASSERT_EQ(HI_VOICE_DecReset(&dec, kVoiceTypeG726_32), 0);
  int16_t out[64];
  uint16_t count = 77;

  // Word count 10 claims 20 payload bytes, only 8 follow.
  const uint8_t short_frame[] = {0x00, 0x01, 0x0A, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, short_frame, sizeof short_frame, out, 64, &count), -1);
  EXPECT_EQ(count, 0);
  // Word count 0xFFFF against a 12-byte buffer.
  const uint8_t huge_count[] = {0x00, 0x01, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, huge_count, sizeof huge_count, out, 64, &count), -1);
  // Header shorter than 4 bytes, and a frame type other than audio data.
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, short_frame, 3, out, 64, &count), -1);
  const uint8_t wrong_type[] = {0x00, 0x02, 0x02, 0x00, 1, 2, 3, 4};
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, wrong_type, sizeof wrong_type, out, 64, &count), -1);
  // 4 payload bytes at 4 bits give 8 samples: 7 do not fit.
  const uint8_t ok_frame[] = {0x00, 0x01, 0x02, 0x00, 0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, ok_frame, sizeof ok_frame, out, 7, &count), -1);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, ok_frame, sizeof ok_frame, out, 8, &count), 0);
  EXPECT_EQ(count, 8);
  // An empty payload decodes to nothing and leaves the decoder usable.
  const uint8_t empty[] = {0x00, 0x01, 0x00, 0x00};
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, empty, sizeof empty, out, 64, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, ok_frame, sizeof ok_frame, out, 8, &count), 0);

  // 24 kbit/s: 8 payload bytes hold 21 whole code words (63 bits).
  ASSERT_EQ(HI_VOICE_DecReset(&dec, kVoiceTypeG726_24), 0);
  const uint8_t odd[] = {0x00, 0x01, 0x04, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, odd, sizeof odd, out, 64, &count), 0);
  EXPECT_EQ(count, 16);  // the last 2 bytes are only part of a code word triple
  // A decoder is not an encoder.
  const int16_t pcm[160] = {};
  uint8_t frame[4 + 200];
  EXPECT_EQ(HI_VOICE_EncodeFrame(&dec, pcm, frame, sizeof frame, 160), -1);

  VoiceEngineState enc;
  ASSERT_EQ(HI_VOICE_EncReset(&enc, kVoiceTypeG726_40), 0);
  EXPECT_EQ(HI_VOICE_EncodeFrame(&enc, pcm, frame, sizeof frame, 8),
            -1);                                                       // 40 bits: not whole words
  EXPECT_EQ(HI_VOICE_EncodeFrame(&enc, pcm, frame, 4 + 99, 160), -1);  // needs 4 + 100 bytes
  EXPECT_EQ(HI_VOICE_EncodeFrame(&enc, pcm, frame, 4 + 100, 160), 0);
  EXPECT_EQ(HI_VOICE_DecodeFrame(&enc, frame, 104, out, 64, &count), -1);  // encoder state
  VoiceEngineState unset;
  EXPECT_EQ(HI_VOICE_EncodeFrame(&unset, pcm, frame, sizeof frame, 160), -1);
}

// ---------------------------------------------------------------- AAC

// ADTS header for one AAC LC access unit, mono (ISO/IEC 13818-7 6.2.1),
// laid out as the audio player builds it for RTP AAC.
std::vector<uint8_t> Adts(const uint8_t* au, size_t len, int rate_index) {
  const size_t f = len + 7;
  std::vector<uint8_t> v = {0xFF,
                            0xF9,  // MPEG-2, layer 0, no CRC (what the audio player builds)
                            uint8_t(0x40 | rate_index << 2),
                            uint8_t(0x40 | ((f >> 11) & 3)),
                            uint8_t((f >> 3) & 0xFF),
                            uint8_t(((f & 7) << 5) | 0x1F),
                            0xFC};
  v.reserve(v.size() + len);
  v.insert(v.end(), au, au + len);
  return v;
}

// Encodes a tone with libavcodec's AAC encoder and returns ADTS frames.
std::vector<std::vector<uint8_t>> EncodeAacTone(int rate, int rate_index, size_t frames,
                                                const std::vector<int16_t>& pcm) {
  std::vector<std::vector<uint8_t>> out;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) return out;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = rate;
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&ctx->ch_layout, 1);
  ctx->bit_rate = 48000;
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return out;
  }
  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      out.push_back(Adts(pkt->data, size_t(pkt->size), rate_index));
      av_packet_unref(pkt);
    }
  };
  for (size_t f = 0; f < frames; ++f) {
    frame->nb_samples = ctx->frame_size;
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = rate;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    av_frame_get_buffer(frame, 0);
    auto* d = reinterpret_cast<float*>(frame->data[0]);
    for (int i = 0; i < ctx->frame_size; ++i) {
      const size_t at = f * size_t(ctx->frame_size) + size_t(i);
      d[i] = at < pcm.size() ? pcm[at] / 32768.0f : 0.0f;
    }
    avcodec_send_frame(ctx, frame);
    av_frame_unref(frame);
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return out;
}

TEST(Aac, DecodesAdtsFramesToMonoPreservingTheTone) {
  const int kRate = 16000;
  const auto tone = Tone(1000, kRate, 1024 * 20, 10000);
  const auto frames = EncodeAacTone(kRate, 8, 20, tone);
  ASSERT_GE(frames.size(), 20u);

  AacDecoder* dec = avcodec_AACInitDecoder();
  ASSERT_NE(dec, nullptr);
  std::vector<int16_t> decoded;
  for (const auto& f : frames) {
    const uint8_t* p = f.data();
    int left = int(f.size());
    int16_t pcm[2048];
    ASSERT_EQ(avcodec_AACDecode(dec, &p, &left, pcm, 2048), 0);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(p, f.data() + f.size());
    AacFrameInfo info{};
    ASSERT_EQ(avcodec_AACGetLastFrameInfo(dec, &info), 0);
    uint16_t at20;
    std::memcpy(&at20, reinterpret_cast<const uint8_t*>(&info) + 20, 2);
    EXPECT_EQ(at20, 1024);
    EXPECT_EQ(info.sample_rate, kRate);
    decoded.insert(decoded.end(), pcm, pcm + info.sample_count);
  }
  avcodec_AACFreeDecoder(dec);

  // Skip the encoder's priming and the fade-in, compare energy and frequency.
  const size_t skip = 4096, n = 8192;
  ASSERT_GE(decoded.size(), skip + n);
  const double rms_in = Rms(tone.data() + skip, n);
  const double rms_out = Rms(decoded.data() + skip, n);
  EXPECT_NEAR(rms_out / rms_in, 1.0, 0.15);
  EXPECT_GT(ToneShare(decoded.data() + skip, n, 1000, kRate), 0.9);
}

TEST(Aac, HostileInputFailsWithoutConsumingOrOverflowing) {
  const auto tone = Tone(1000, 16000, 1024 * 4, 10000);
  const auto frames = EncodeAacTone(16000, 8, 4, tone);
  ASSERT_GE(frames.size(), 3u);
  AacDecoder* dec = avcodec_AACInitDecoder();
  ASSERT_NE(dec, nullptr);
  int16_t pcm[2048];
  AacFrameInfo info{};

  // Truncated: the header announces more bytes than the buffer has.
  const auto& good = frames[2];
  const uint8_t* p = good.data();
  int left = int(good.size()) - 1;
  EXPECT_EQ(avcodec_AACDecode(dec, &p, &left, pcm, 2048), -1);
  EXPECT_EQ(p, good.data());
  EXPECT_EQ(left, int(good.size()) - 1);
  avcodec_AACGetLastFrameInfo(dec, &info);
  EXPECT_EQ(info.sample_count, 0);

  // Shorter than a header; no sync word; frame length below the header size.
  left = 5;
  EXPECT_EQ(avcodec_AACDecode(dec, &p, &left, pcm, 2048), -1);
  std::vector<uint8_t> garbage(300);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 37 + 11);
  p = garbage.data();
  left = int(garbage.size());
  EXPECT_EQ(avcodec_AACDecode(dec, &p, &left, pcm, 2048), -1);
  const uint8_t tiny_length[] = {0xFF, 0xF9, 0x60, 0x40, 0x00, 0x1F, 0xFC, 0, 0};
  p = tiny_length;
  left = sizeof tiny_length;
  EXPECT_EQ(avcodec_AACDecode(dec, &p, &left, pcm, 2048), -1);

  // A valid header in front of noise is consumed but not decoded to sound.
  auto noise = Adts(garbage.data(), 200, 8);
  noise[7] = 0xE0;  // an element id (END) the decoder cannot start a frame with
  p = noise.data();
  left = int(noise.size());
  EXPECT_EQ(avcodec_AACDecode(dec, &p, &left, pcm, 2048), -1);
  EXPECT_EQ(left, 0);

  // Output capacity below one frame: failure, nothing beyond the capacity.
  std::vector<int16_t> small(1000 + 16, 0x5A5A);
  p = frames[1].data();
  left = int(frames[1].size());
  EXPECT_EQ(avcodec_AACDecode(dec, &p, &left, small.data(), 1000), -1);
  for (size_t i = 1000; i < small.size(); ++i) ASSERT_EQ(small[i], 0x5A5A);

  // The decoder still works afterwards.
  p = frames[2].data();
  left = int(frames[2].size());
  EXPECT_EQ(avcodec_AACDecode(dec, &p, &left, pcm, 2048), 0);
  avcodec_AACFreeDecoder(dec);

  EXPECT_EQ(avcodec_AACDecode(nullptr, &p, &left, pcm, 2048), -1);
  avcodec_AACFreeDecoder(nullptr);
}

}  // namespace
