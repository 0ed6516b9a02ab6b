// Audio test signals and measures shared by the codec and sound tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

namespace quornet::test {

inline std::vector<int16_t> Tone(double freq, int rate, size_t n, double amplitude) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<int16_t>(
        std::lround(amplitude * std::sin(2 * std::numbers::pi * freq * double(i) / rate)));
  }
  return v;
}

inline double Rms(const int16_t* x, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += double(x[i]) * x[i];
  return n ? std::sqrt(s / double(n)) : 0;
}

// Signal-to-noise ratio of `got` against `ref`, in dB.
inline double SnrDb(const int16_t* ref, const int16_t* got, size_t n) {
  double sig = 0, err = 0;
  for (size_t i = 0; i < n; ++i) {
    sig += double(ref[i]) * ref[i];
    const double d = double(ref[i]) - got[i];
    err += d * d;
  }
  return 10 * std::log10(sig / std::max(err, 1e-9));
}

// Share of the signal's energy at one frequency (Goertzel), 0..1.
inline double ToneShare(const int16_t* x, size_t n, double freq, int rate) {
  const double w = 2 * std::numbers::pi * freq / rate;
  double s1 = 0, s2 = 0, total = 0;
  for (size_t i = 0; i < n; ++i) {
    const double s = x[i] + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s;
    total += double(x[i]) * x[i];
  }
  const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
  return total > 0 ? 2 * power / (double(n) * total) : 0;
}

}  // namespace quornet::test
