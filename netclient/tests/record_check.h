// Reading recorded files back with FFmpeg's tools, for the tests that record
// through the C API: ffprobe's stream records, what a full decode prints at
// the error level, and the frame numbers (frame_code.h) of every decoded
// picture.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "devicesim/frame_code.h"

namespace quornet::test {

// Runs a shell command; its standard output and error together.
inline std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return "popen failed";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// `input` are reader options put in front of the file name ("-probesize 64M"
// for pictures larger than the tools' default probe size of 5 MB).

// key=value fields of the ffprobe stream records; other lines (warnings and
// errors) go to noise.
inline std::vector<std::map<std::string, std::string>> Probe(const std::filesystem::path& path,
                                                             std::string* noise,
                                                             const std::string& input = "") {
  const std::string out =
      Shell("ffprobe -v warning " + input +
            " -count_packets -show_entries "
            "stream=codec_name,codec_type,width,height,sample_rate,channels,nb_read_packets "
            "-of compact=p=0 '" +
            path.string() + "'");
  std::vector<std::map<std::string, std::string>> streams;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("codec_name=", 0) != 0) {
      *noise += line + "\n";
      continue;
    }
    std::map<std::string, std::string> s;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '|')) {
      const auto eq = field.find('=');
      if (eq != std::string::npos) s[field.substr(0, eq)] = field.substr(eq + 1);
    }
    streams.push_back(s);
  }
  return streams;
}

// What a full decode prints at the error level.
inline std::string DecodeErrors(const std::filesystem::path& path, const std::string& input = "") {
  return Shell("ffmpeg -nostdin -v error " + input + " -i '" + path.string() + "' -f null -");
}

// Frame numbers of every decoded picture of the file's video stream
// (0xFFFFFFFF for a picture whose number does not decode).
inline std::vector<uint32_t> FrameNumbers(const std::filesystem::path& path, int width, int height,
                                          const std::string& input = "") {
  const std::filesystem::path raw = path.string() + ".gray";
  Shell("ffmpeg -nostdin -v error -y " + input + " -i '" + path.string() +
        "' -map 0:v -f rawvideo -pix_fmt gray '" + raw.string() + "'");
  const std::vector<uint8_t> y = ReadFileBytes(raw);
  std::filesystem::remove(raw);
  std::vector<uint32_t> numbers;
  const size_t frame = size_t(width) * size_t(height);
  for (size_t at = 0; frame > 0 && at + frame <= y.size(); at += frame) {
    auto n = devicesim::frame_code::DecodeLuma(&y[at], width, width, height);
    numbers.push_back(n.value_or(0xFFFFFFFF));
  }
  return numbers;
}

// Places in a run of frame numbers where the next is not the previous + 1.
inline int NumberGaps(const std::vector<uint32_t>& numbers) {
  int gaps = 0;
  for (size_t i = 1; i < numbers.size(); ++i) gaps += numbers[i] != numbers[i - 1] + 1;
  return gaps;
}

}  // namespace quornet::test
