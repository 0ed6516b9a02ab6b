// AVX-512 converters: the 256-bit kernels of pixel_convert_avx.h compiled
// with AVX-512 BW, VL and VBMI, which they use on 256-bit registers only.
#if defined(__x86_64__) || defined(__i386__)

#include "media/pixel_convert_avx.h"

namespace quornet::pixconv {

void ConvertAvx512(const Job& job) {
  SimdConvert<Kernel256>(job);
}

}  // namespace quornet::pixconv

#endif
