// Conduit append + frame read against plain memcpy of the same bytes, in the
// same run. The conduit copies every byte twice (into the ring, out of it) and
// takes its lock and events once per call; memcpy copies once. Frames are
// written and read alternately through a 4 MiB ring, as a session's video
// conduit is.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "session/conduit.h"

namespace {

// Page-aligned buffers, so that every variant sees the same alignment (the
// relative placement of two heap blocks otherwise decides which copy path
// memcpy takes and can cost it a factor of ten).
struct Buffer {
  explicit Buffer(size_t n, uint8_t fill = 0)
      : data(static_cast<uint8_t*>(std::aligned_alloc(4096, (n + 4095) / 4096 * 4096))) {
    std::memset(data, fill, n);
  }
  ~Buffer() { std::free(data); }
  uint8_t* data;
};

void BM_ConduitAppendRead(benchmark::State& state) {
  const uint32_t size = uint32_t(state.range(0));
  quornet::CBufferConduit conduit;
  if (!conduit.Create(0x400000, 0, 0x2000, 1)) {
    state.SkipWithError("create failed");
    return;
  }
  Buffer in(size, 0x5A), out(size);
  quornet::FrameHeader header;
  uint32_t left;
  for (auto _ : state) {
    if (!conduit.Append(in.data, size, 1, 0, 0)) state.SkipWithError("append refused");
    if (conduit.ReadFrame(out.data, size, &left, &header, 0) != size) {
      state.SkipWithError("read failed");
    }
    benchmark::DoNotOptimize(out.data);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void BM_Memcpy(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  Buffer in(size, 0x5A), out(size);
  for (auto _ : state) {
    std::memcpy(out.data, in.data, size);
    benchmark::DoNotOptimize(out.data);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

// Two copies through a 4 MiB staging area: the least work a ring can do.
void BM_MemcpyTwiceThroughRing(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  Buffer in(size, 0x5A), out(size), ring(0x400000);
  size_t offset = 0;
  for (auto _ : state) {
    if (offset + size > 0x400000) offset = 0;
    std::memcpy(ring.data + offset, in.data, size);
    std::memcpy(out.data, ring.data + offset, size);
    offset += size;
    benchmark::DoNotOptimize(out.data);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

BENCHMARK(BM_ConduitAppendRead)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Memcpy)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_MemcpyTwiceThroughRing)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
