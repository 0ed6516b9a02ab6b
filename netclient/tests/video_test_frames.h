// Encoded test video for the display tests: pictures carrying their frame
// number in the block code of devicesim/frame_code.h, encoded in-process with
// libavcodec (libx264 for H.264, the native Motion JPEG encoder).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "devicesim/frame_code.h"

namespace quornet::test {

struct EncodedFrame {
  std::vector<uint8_t> bytes;
  uint32_t number = 0;
  bool key = false;
};

// Fills a planar YUV picture: mid-grey with a diagonal ramp below the code row,
// neutral chroma, the frame number in the top-left blocks.
inline void FillPicture(AVFrame* f, uint32_t number) {
  for (int y = 0; y < f->height; ++y) {
    uint8_t* row = f->data[0] + y * f->linesize[0];
    for (int x = 0; x < f->width; ++x) row[x] = static_cast<uint8_t>(60 + ((x + y) & 63));
  }
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  const int cw = -((-f->width) >> d->log2_chroma_w), ch = -((-f->height) >> d->log2_chroma_h);
  for (int y = 0; y < ch; ++y) {
    std::memset(f->data[1] + y * f->linesize[1], 128, cw);
    std::memset(f->data[2] + y * f->linesize[2], 128, cw);
  }
  devicesim::frame_code::EncodeLuma(f->data[0], f->linesize[0], f->width, f->height, number);
}

// Encodes `count` pictures numbered first..first+count-1. H.264: a key frame
// (starting with its parameter sets) every `gop` pictures, no B-frames, so
// every frame decodes to its own picture at once.
// jpeg_format: the chroma layout of Motion JPEG pictures.
inline std::vector<EncodedFrame> EncodeFrames(bool h264, int width, int height, int count,
                                              int gop = 10, uint32_t first = 0,
                                              AVPixelFormat jpeg_format = AV_PIX_FMT_YUVJ420P) {
  const AVCodec* codec =
      h264 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (codec == nullptr) throw std::runtime_error("no encoder");
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->width = width;
  c->height = height;
  c->time_base = AVRational{1, 25};
  c->framerate = AVRational{25, 1};
  c->pix_fmt = h264 ? AV_PIX_FMT_YUV420P : jpeg_format;
  c->gop_size = gop;
  c->max_b_frames = 0;
  c->thread_count = 1;
  if (h264) {
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av_opt_set(c->priv_data, "x264-params", "keyint_min=1:scenecut=0:repeat-headers=1", 0);
    c->bit_rate = 800000;
  } else {
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * 4;
  }
  if (avcodec_open2(c, codec, nullptr) < 0) throw std::runtime_error("encoder open");
  AVFrame* f = av_frame_alloc();
  f->format = c->pix_fmt;
  f->width = width;
  f->height = height;
  av_frame_get_buffer(f, 32);
  AVPacket* pkt = av_packet_alloc();
  std::vector<EncodedFrame> out;
  auto drain = [&] {
    while (avcodec_receive_packet(c, pkt) == 0) {
      EncodedFrame e;
      e.bytes.assign(pkt->data, pkt->data + pkt->size);
      e.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      e.number = first + static_cast<uint32_t>(out.size());
      out.push_back(std::move(e));
      av_packet_unref(pkt);
    }
  };
  for (int i = 0; i < count; ++i) {
    av_frame_make_writable(f);
    FillPicture(f, first + static_cast<uint32_t>(i));
    f->pts = i;
    f->pict_type = (h264 && i % gop == 0) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(c, f) < 0) throw std::runtime_error("encode");
    drain();
  }
  avcodec_send_frame(c, nullptr);
  drain();
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&c);
  if (static_cast<int>(out.size()) != count) throw std::runtime_error("frame count");
  return out;
}

}  // namespace quornet::test
