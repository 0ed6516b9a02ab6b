// AVX2 converters: the 256-bit kernels of pixel_convert_avx.h compiled for
// AVX2.
#if defined(__x86_64__) || defined(__i386__)

#include "media/pixel_convert_avx.h"

namespace quornet::pixconv {

void ConvertAvx2(const Job& job) {
  SimdConvert<Kernel256>(job);
}

}  // namespace quornet::pixconv

#endif
