#include "media/av_sound.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "api/process_state.h"
#include "session/client_session.h"
#include "session/conduit.h"

namespace quornet {

namespace {

constexpr uint32_t kFrameWaitMs = 60;
// A zero read that comes back sooner than this (a stopped conduit answers at
// once) is followed by a short pause, so the loop never spins.
constexpr uint32_t kIdlePauseMs = 10;
// Frames are bounded by the conduit's ring (at most a few MiB); anything
// claiming more is emptied with the conduit instead of being copied out.
constexpr uint32_t kMaxDiscardBytes = 16u << 20;
constexpr int32_t kExitValue = 9;

}  // namespace

// ---- Wave player ------------------------------------------------------------------

CWavePlayer::~CWavePlayer() {
  Close();
}

bool CWavePlayer::Open(const qrplat::AudioFormat& format, uint32_t buffer_bytes) {
  Close();
  errno = 0;
  output_ = qrplat::AudioOutput::OpenDefault(format, [this](void* cookie) { OnDone(cookie); });
  if (!output_) {
    LogWrite("waveOutOpen failed! error code: %d\n", errno);
    return false;
  }
  buffer_bytes_ = buffer_bytes;
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < kBufferCount; ++i) {
    auto buffer = std::make_unique<Buffer>();
    buffer->data.reset(new (std::nothrow) uint8_t[buffer_bytes]);
    if (!buffer->data) {
      LogWrite("waveOutPrepareHeader failed! error code: %d\n", ENOMEM);
      continue;
    }
    free_.push_back(buffer.get());
    all_.push_back(std::move(buffer));
  }
  buffer_count_ = static_cast<int32_t>(all_.size());
  return true;
}

CWavePlayer::PlayResult CWavePlayer::Play(const void* pcm, int32_t bytes) {
  if (!output_ || pcm == nullptr || bytes <= 0 || static_cast<uint32_t>(bytes) > buffer_bytes_)
    return PlayResult::kNotPlayed;
  Buffer* buffer = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return PlayResult::kNoFreeBuffer;
    buffer = free_.front();
    free_.pop_front();
    std::memcpy(buffer->data.get(), pcm, static_cast<size_t>(bytes));
    buffer->length = static_cast<uint32_t>(bytes);
  }
  // Outside the lock: the completion may run before Write returns.
  if (!output_->Write(buffer->data.get(), buffer->length, buffer)) {
    // A refused buffer is never completed: take it back here.
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(buffer);
    return PlayResult::kNotPlayed;
  }
  return PlayResult::kQueued;
}

void CWavePlayer::OnDone(void* cookie) {
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(static_cast<Buffer*>(cookie));
}

void CWavePlayer::Reset() {
  if (output_) output_->Reset();
}

void CWavePlayer::Close() {
  if (output_) {
    output_->Reset();
    // Destroying the output joins its device thread: no completion runs
    // after this line, so the buffers may go.
    output_.reset();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  free_.clear();
  all_.clear();
  buffer_count_ = 0;
  buffer_bytes_ = 0;
}

int32_t CWavePlayer::QueuedBlocks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffer_count_ - static_cast<int32_t>(free_.size());
}

// ---- Sound thread ---------------------------------------------------------------

CAVSound::CAVSound(CClientSession& session, CIConduit* audio) : session_(session), audio_(audio) {}

CAVSound::~CAVSound() {
  Stop();
}

bool CAVSound::Start() {
  if (IsRunning() || audio_ == nullptr) return false;
  // Joins a thread that already left on its own, so it can run again.
  Wait();
  stop_.store(false);
  stop_event_.Reset();
  session_.audio_ended.store(0);
  return qrplat::JThread::Start() == 0;
}

void CAVSound::Stop() {
  stop_.store(true);
  stop_event_.Set();
  Wait();
  player_.Close();
}

CAVSound::Stats CAVSound::GetStats() const {
  Stats s;
  s.played = played_.load();
  s.dropped_full = dropped_full_.load();
  s.not_played = not_played_.load();
  s.decode_failures = decode_failures_.load();
  s.oversized = oversized_.load();
  s.muted = muted_.load();
  s.output_resets = output_resets_.load();
  return s;
}

void CAVSound::DiscardOversized(uint32_t length) {
  ++oversized_;
  if (length <= kMaxDiscardBytes) {
    std::vector<uint8_t> sink(length);
    if (audio_->ReadFrameIfPresent(sink.data(), length, nullptr, nullptr, 0) != 0) return;
  }
  // Not taken (or absurdly long): empty the conduit so the reader cannot
  // stall on it. Reset clears the stop flag, which a stopping session must
  // keep.
  audio_->Reset();
  if (session_.stopping()) audio_->Stop();
}

int32_t CAVSound::Thread() {
  const int32_t code =
      session_.audio_conduit_pcm.load() != 0 ? kAudioPcm : session_.audio_codec.load() & 0xFF;
  const uint32_t read_size = CAudioDec::ReadSize(code);
  read_size_.store(read_size);

  if (decoder_.InitDecoder(code) == 0) {
    const uint32_t pcm_capacity = CAudioDec::PcmCapacity(code);
    qrplat::AudioFormat format;
    format.sample_rate = CAudioDec::SampleRate(code, session_.audio_sample_rate.load());
    format.channels = 1;
    format.bits = 16;
    player_.Open(format, pcm_capacity);

    std::vector<uint8_t> in(read_size);
    std::vector<int16_t> pcm(pcm_capacity / 2);
    bool was_enabled = session_.audio_enabled.load() != 0;
    while (!stop_.load()) {
      const bool enabled = session_.audio_enabled.load() != 0;
      if (was_enabled && !enabled) {
        // Audio was switched off: what waits in the device predates the
        // switch and must not be heard.
        player_.Reset();
        ++output_resets_;
      }
      was_enabled = enabled;

      FrameHeader header{};
      const uint32_t start = qrplat::TickCount();
      const uint32_t n = audio_->ReadFrame(in.data(), read_size, nullptr, &header, kFrameWaitMs);
      if (n == 0) {
        if (header.length > read_size) {
          DiscardOversized(header.length);
        } else if (qrplat::TickCount() - start < kIdlePauseMs) {
          stop_event_.Wait(kIdlePauseMs);
        }
        continue;
      }
      if (session_.audio_enabled.load() == 0) {
        ++muted_;
        continue;
      }
      int32_t bytes = 0;
      if (decoder_.Decode(static_cast<int32_t>(n), &bytes, code, in.data(), pcm.data(),
                          pcm.size() * sizeof(int16_t)) != 0) {
        ++decode_failures_;
        continue;
      }
      if (session_.speed_exponent.load() != 0) {
        std::memset(pcm.data(), 0, static_cast<size_t>(bytes));
      }
      switch (player_.Play(pcm.data(), bytes)) {
        case CWavePlayer::PlayResult::kQueued:
          ++played_;
          break;
        case CWavePlayer::PlayResult::kNoFreeBuffer:
          ++dropped_full_;
          break;
        case CWavePlayer::PlayResult::kNotPlayed:
          if (bytes > 0) ++not_played_;
          break;
      }
    }
  }

  // Leaving: a file reader stops queuing audio for us.
  session_.audio_ended.store(1);
  // Reset clears the stop flag of a conduit that the session has stopped
  // (it stops the conduits before it stops the source); put it back.
  audio_->Reset();
  if (session_.stopping()) audio_->Stop();
  player_.Close();
  decoder_.Close();
  return kExitValue;
}

}  // namespace quornet
