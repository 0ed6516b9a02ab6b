#include "net/h264_sps.h"

#include <vector>

namespace quornet {
namespace {

// Reads an RBSP (emulation-prevention bytes removed) MSB first. Every read past
// the end sets the failure flag and yields 0.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool failed() const { return failed_; }

  uint32_t Bit() {
    if (pos_ >= size_ * 8) {
      failed_ = true;
      return 0;
    }
    uint32_t b = (data_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return b;
  }

  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }

  // ue(v), 9.1. Codes longer than 32 bits cannot come from a valid encoder.
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0) {
      if (failed_ || ++zeros > 31) {
        failed_ = true;
        return 0;
      }
    }
    if (zeros == 0) return 0;
    uint64_t v = (uint64_t{1} << zeros) - 1 + Bits(zeros);
    if (v > 0xFFFFFFFFu) {
      failed_ = true;
      return 0;
    }
    return static_cast<uint32_t>(v);
  }

  int32_t Se() {
    uint32_t k = Ue();
    int64_t v = (k & 1) ? (int64_t{k} + 1) / 2 : -(int64_t{k} / 2);
    return static_cast<int32_t>(v);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool failed_ = false;
};

void SkipScalingList(BitReader& r, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && !r.failed(); ++j) {
    if (next != 0) {
      int32_t delta = r.Se();
      next = ((last + delta) % 256 + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

bool IsHighProfile(uint32_t profile) {
  switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      return true;
    default:
      return false;
  }
}

// The unit's payload from byte `from` on with emulation prevention
// (00 00 03 -> 00 00) stripped, H.264 7.4.1 / H.265 7.4.2.
std::vector<uint8_t> Rbsp(const uint8_t* nal, size_t size, size_t from) {
  std::vector<uint8_t> rbsp;
  rbsp.reserve(size);
  int zeros = 0;
  for (size_t i = from; i < size; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    rbsp.push_back(nal[i]);
  }
  return rbsp;
}

}  // namespace

bool ParseSpsPictureSize(const uint8_t* nal, size_t size, SpsPictureSize* out) {
  if (nal == nullptr || size < 2 || (nal[0] & 0x1F) != 7) return false;
  const std::vector<uint8_t> rbsp = Rbsp(nal, size, 1);
  BitReader r(rbsp.data(), rbsp.size());
  uint32_t profile = r.Bits(8);
  r.Bits(8);                      // constraint flags
  r.Bits(8);                      // level_idc
  if (r.Ue() > 31) return false;  // seq_parameter_set_id
  uint32_t chroma_format_idc = 1;
  bool separate_colour_plane = false;
  if (IsHighProfile(profile)) {
    chroma_format_idc = r.Ue();
    if (chroma_format_idc > 3) return false;
    if (chroma_format_idc == 3) separate_colour_plane = r.Bit();
    r.Ue();         // bit_depth_luma_minus8
    r.Ue();         // bit_depth_chroma_minus8
    r.Bit();        // qpprime_y_zero_transform_bypass_flag
    if (r.Bit()) {  // seq_scaling_matrix_present_flag
      int lists = chroma_format_idc != 3 ? 8 : 12;
      for (int i = 0; i < lists && !r.failed(); ++i) {
        if (r.Bit()) SkipScalingList(r, i < 6 ? 16 : 64);
      }
    }
  }
  if (r.Ue() > 12) return false;  // log2_max_frame_num_minus4
  uint32_t poc_type = r.Ue();
  if (poc_type == 0) {
    if (r.Ue() > 12) return false;  // log2_max_pic_order_cnt_lsb_minus4
  } else if (poc_type == 1) {
    r.Bit();  // delta_pic_order_always_zero_flag
    r.Se();   // offset_for_non_ref_pic
    r.Se();   // offset_for_top_to_bottom_field
    uint32_t cycle = r.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && !r.failed(); ++i) r.Se();
  } else if (poc_type != 2) {
    return false;
  }
  r.Ue();   // max_num_ref_frames
  r.Bit();  // gaps_in_frame_num_value_allowed_flag
  uint32_t width_mbs = r.Ue();
  uint32_t height_map_units = r.Ue();
  uint32_t frame_mbs_only = r.Bit();
  if (!frame_mbs_only) r.Bit();  // mb_adaptive_frame_field_flag
  r.Bit();                       // direct_8x8_inference_flag
  uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
  if (r.Bit()) {
    crop_left = r.Ue();
    crop_right = r.Ue();
    crop_top = r.Ue();
    crop_bottom = r.Ue();
  }
  if (r.failed()) return false;
  // Anything beyond 16384 pixels is not a camera picture; it also keeps the
  // arithmetic below far from overflow.
  if (width_mbs >= 1024 || height_map_units >= 1024) return false;
  int64_t width = (int64_t{width_mbs} + 1) * 16;
  int64_t height = (2 - int64_t{frame_mbs_only}) * (int64_t{height_map_units} + 1) * 16;
  // Crop units, 7.4.2.1.1 (frame_crop_*_offset semantics).
  uint32_t chroma_array_type = separate_colour_plane ? 0 : chroma_format_idc;
  int64_t unit_x = 1, unit_y = 2 - int64_t{frame_mbs_only};
  if (chroma_array_type != 0) {
    int64_t sub_w = chroma_array_type == 3 ? 1 : 2;
    int64_t sub_h = chroma_array_type == 1 ? 2 : 1;
    unit_x = sub_w;
    unit_y = sub_h * (2 - int64_t{frame_mbs_only});
  }
  int64_t crop_w = unit_x * (int64_t{crop_left} + crop_right);
  int64_t crop_h = unit_y * (int64_t{crop_top} + crop_bottom);
  if (crop_w >= width || crop_h >= height) return false;
  out->width = static_cast<int32_t>(width - crop_w);
  out->height = static_cast<int32_t>(height - crop_h);
  out->frame_rate = 0;
  // VUI timing (Annex E.1.1). A set cut short here still gives its size.
  if (r.Bit()) {                        // vui_parameters_present_flag
    if (r.Bit() && r.Bits(8) == 255) {  // aspect_ratio_idc: Extended_SAR
      r.Bits(32);                       // sar_width, sar_height
    }
    if (r.Bit()) r.Bit();       // overscan_appropriate_flag
    if (r.Bit()) {              // video_signal_type_present_flag
      r.Bits(4);                // video_format, video_full_range_flag
      if (r.Bit()) r.Bits(24);  // colour description
    }
    if (r.Bit()) {  // chroma_loc_info_present_flag
      r.Ue();
      r.Ue();
    }
    if (r.Bit()) {  // timing_info_present_flag
      const uint32_t units = r.Bits(32);
      const uint32_t scale = r.Bits(32);
      if (!r.failed() && units > 0) {
        const uint64_t fps = (uint64_t{scale} + units) / (2 * uint64_t{units});
        if (fps >= 1 && fps <= 1000) out->frame_rate = static_cast<int32_t>(fps);
      }
    }
  }
  return true;
}

bool ParseH265SpsPictureSize(const uint8_t* nal, size_t size, SpsPictureSize* out) {
  if (nal == nullptr || size < 3 || ((nal[0] >> 1) & 0x3F) != 33) return false;
  const std::vector<uint8_t> rbsp = Rbsp(nal, size, 2);
  BitReader r(rbsp.data(), rbsp.size());
  r.Bits(4);                                     // sps_video_parameter_set_id
  const uint32_t sub_layers_minus1 = r.Bits(3);  // sps_max_sub_layers_minus1
  if (sub_layers_minus1 > 6) return false;
  r.Bit();  // sps_temporal_id_nesting_flag
  // profile_tier_level(1, sps_max_sub_layers_minus1), 7.3.3.
  r.Bits(8);   // general profile space, tier, profile idc
  r.Bits(32);  // general_profile_compatibility_flags
  r.Bits(32);  // progressive, interlaced, non-packed, frame-only, 44 reserved bits ...
  r.Bits(16);  // ... of which these are the rest
  r.Bits(8);   // general_level_idc
  bool profile_present[8] = {}, level_present[8] = {};
  for (uint32_t i = 0; i < sub_layers_minus1; ++i) {
    profile_present[i] = r.Bit();
    level_present[i] = r.Bit();
  }
  if (sub_layers_minus1 > 0) {
    for (uint32_t i = sub_layers_minus1; i < 8; ++i) r.Bits(2);  // reserved_zero_2bits
  }
  for (uint32_t i = 0; i < sub_layers_minus1; ++i) {
    if (profile_present[i]) {
      r.Bits(32);
      r.Bits(32);
      r.Bits(24);  // 88 bits of sub-layer profile
    }
    if (level_present[i]) r.Bits(8);
  }
  if (r.Ue() > 15) return false;  // sps_seq_parameter_set_id
  const uint32_t chroma_format_idc = r.Ue();
  if (chroma_format_idc > 3) return false;
  bool separate_colour_plane = false;
  if (chroma_format_idc == 3) separate_colour_plane = r.Bit();
  const uint32_t width = r.Ue();   // pic_width_in_luma_samples
  const uint32_t height = r.Ue();  // pic_height_in_luma_samples
  uint32_t left = 0, right = 0, top = 0, bottom = 0;
  if (r.Bit()) {  // conformance_window_flag
    left = r.Ue();
    right = r.Ue();
    top = r.Ue();
    bottom = r.Ue();
  }
  if (r.failed() || width == 0 || height == 0 || width > 16384 || height > 16384) return false;
  // Conformance window units, 7.4.3.2.1 (SubWidthC, SubHeightC of Table 6-1).
  const uint32_t chroma_array_type = separate_colour_plane ? 0 : chroma_format_idc;
  const int64_t unit_x = (chroma_array_type == 1 || chroma_array_type == 2) ? 2 : 1;
  const int64_t unit_y = chroma_array_type == 1 ? 2 : 1;
  const int64_t crop_w = unit_x * (int64_t{left} + right);
  const int64_t crop_h = unit_y * (int64_t{top} + bottom);
  if (crop_w >= width || crop_h >= height) return false;
  out->width = static_cast<int32_t>(width - crop_w);
  out->height = static_cast<int32_t>(height - crop_h);
  out->frame_rate = 0;
  return true;
}

}  // namespace quornet
