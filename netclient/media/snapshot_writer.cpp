#include "media/snapshot_writer.h"

// jpeglib.h needs FILE and size_t declared first.
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include <jpeglib.h>

#include "api/process_state.h"
#include "media/av_display.h"
#include "media/display_seams.h"
#include "media/recorder.h"
#include "qrplat/drives.h"
#include "qrplat/thread.h"
#include "session/client_session.h"

namespace quornet {

// ITU-T T.81 Annex K, tables K.1 and K.2, in natural (row-major) order.
const unsigned int kAnnexKLuminance[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const unsigned int kAnnexKChrominance[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

namespace {

struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void OnJpegError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  std::longjmp(err->jump, 1);
}

void OnJpegMessage(j_common_ptr) {}

// The libjpeg part, kept free of objects with destructors: an error leaves it
// through longjmp. row: scratch of 3 x width bytes. On success *out/*out_size
// hold a malloc'd buffer.
bool EncodeRows(const YuvPlanes& p, uint8_t* row, unsigned char** out, unsigned long* out_size) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnJpegError;
  err.pub.output_message = OnJpegMessage;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, out, out_size);
  cinfo.image_width = static_cast<JDIMENSION>(p.width);
  cinfo.image_height = static_cast<JDIMENSION>(p.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, JCS_YCbCr);
  for (int c = 0; c < 3; ++c) {
    cinfo.comp_info[c].h_samp_factor = 1;
    cinfo.comp_info[c].v_samp_factor = 1;
  }
  cinfo.comp_info[0].quant_tbl_no = 0;
  cinfo.comp_info[1].quant_tbl_no = 1;
  cinfo.comp_info[2].quant_tbl_no = 1;
  jpeg_add_quant_table(&cinfo, 0, kAnnexKLuminance, kSnapshotQuality, TRUE);
  jpeg_add_quant_table(&cinfo, 1, kAnnexKChrominance, kSnapshotQuality, TRUE);
  cinfo.dct_method = JDCT_FLOAT;
  cinfo.optimize_coding = FALSE;
  cinfo.arith_code = FALSE;
  cinfo.restart_interval = 0;
  cinfo.write_JFIF_header = TRUE;
  cinfo.JFIF_major_version = 1;
  cinfo.JFIF_minor_version = 1;
  cinfo.density_unit = 0;
  cinfo.X_density = 1;
  cinfo.Y_density = 1;
  cinfo.write_Adobe_marker = FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = static_cast<int>(cinfo.next_scanline);
    const uint8_t* ly = p.y + y * p.y_stride;
    const uint8_t* lu = p.u + (y / 2) * p.uv_stride;
    const uint8_t* lv = p.v + (y / 2) * p.uv_stride;
    for (int x = 0; x < p.width; ++x) {
      row[3 * x] = ly[x];
      row[3 * x + 1] = lu[x / 2];
      row[3 * x + 2] = lv[x / 2];
    }
    JSAMPROW rows[1] = {row};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

// A picture copied off the display thread, with its destination.
struct Job {
  std::string path;  // native
  int width = 0, height = 0;
  std::vector<uint8_t> y, u, v;
  ptrdiff_t uv_stride = 0;
};

// Encodes and writes snapshots on its own thread. One per process, started
// on the first snapshot; QRNET_Cleanup stops and joins it (the next snapshot
// starts it again).
class CSnapshotEncoder : public qrplat::JThread {
 public:
  static constexpr size_t kMaxQueued = 4;

  ~CSnapshotEncoder() override { StopAndJoin(); }

  void Submit(Job job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.size() >= kMaxQueued) {
      qrplat::DebugOutput("snapshot: encoder busy; %s dropped\n", job.path.c_str());
      return;
    }
    queue_.push_back(std::move(job));
    cv_.notify_all();
    if (!started_) {
      stop_ = false;
      started_ = true;
      lock.unlock();
      AddCleanupHook(&CSnapshotEncoder::CleanupHook);
      if (Start() != 0) {
        std::lock_guard<std::mutex> again(mutex_);
        started_ = false;
        queue_.clear();
        cv_.notify_all();
      }
    }
  }

  void StopAndJoin() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      cv_.notify_all();
    }
    Wait();
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = false;
  }

  void WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return (queue_.empty() && busy_ == 0) || !started_; });
  }

  static CSnapshotEncoder& Instance() {
    static auto* encoder = new CSnapshotEncoder();  // joined by QRNET_Cleanup
    return *encoder;
  }
  static void CleanupHook() { Instance().StopAndJoin(); }

 protected:
  int32_t Thread() override {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) break;  // stop requested and nothing left
      Job job = std::move(queue_.front());
      queue_.pop_front();
      ++busy_;
      lock.unlock();
      Write(job);
      lock.lock();
      --busy_;
      cv_.notify_all();
    }
    return 0;
  }

 private:
  static void Write(const Job& job) {
    YuvPlanes p;
    p.y = job.y.data();
    p.u = job.u.data();
    p.v = job.v.data();
    p.y_stride = job.width;
    p.uv_stride = job.uv_stride;
    p.width = job.width;
    p.height = job.height;
    std::vector<uint8_t> jpeg;
    if (!EncodeSnapshotJpeg(p, &jpeg)) {
      qrplat::DebugOutput("snapshot: encoding %s failed\n", job.path.c_str());
      return;
    }
    FILE* f = std::fopen(job.path.c_str(), "wb");
    if (f == nullptr) {
      qrplat::DebugOutput("snapshot: cannot open %s\n", job.path.c_str());
      return;
    }
    const bool ok = std::fwrite(jpeg.data(), 1, jpeg.size(), f) == jpeg.size();
    if (std::fclose(f) != 0 || !ok) {
      // Half a picture is no snapshot.
      qrplat::DebugOutput("snapshot: writing %s failed\n", job.path.c_str());
      std::remove(job.path.c_str());
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job> queue_;  // guarded by mutex_
  bool stop_ = false;      // guarded by mutex_
  bool started_ = false;   // guarded by mutex_
  int busy_ = 0;           // guarded by mutex_: jobs being written
};

// Pending snapshot paths per display, guarded by the mutex here; the pending
// flag itself is the display's, under its capture lock.
struct Requests {
  std::mutex mutex;
  std::map<const CAVDisplay*, std::string> paths;
};
Requests& GetRequests() {
  static auto* requests = new Requests();  // never destroyed: display threads use it
  return *requests;
}

void ServeSnapshot(CAVDisplay& display, const YuvPlanes& pic) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(display.capture_mutex());
    if (!display.CapturePending()) return;
    display.SetCapturePending(false);
    Requests& r = GetRequests();
    std::lock_guard<std::mutex> paths(r.mutex);
    auto it = r.paths.find(&display);
    if (it == r.paths.end()) return;
    path = std::move(it->second);
    r.paths.erase(it);
  }
  if (pic.y == nullptr || pic.u == nullptr || pic.v == nullptr || pic.width <= 0 ||
      pic.height <= 0) {
    return;
  }
  Job job;
  job.path = std::move(path);
  job.width = pic.width;
  job.height = pic.height;
  const int cw = (pic.width + 1) / 2;
  const int ch = (pic.height + 1) / 2;
  job.uv_stride = cw;
  job.y.resize(size_t(pic.width) * pic.height);
  job.u.resize(size_t(cw) * ch);
  job.v.resize(size_t(cw) * ch);
  for (int row = 0; row < pic.height; ++row) {
    std::memcpy(&job.y[size_t(row) * pic.width], pic.y + row * pic.y_stride, size_t(pic.width));
  }
  for (int row = 0; row < ch; ++row) {
    std::memcpy(&job.u[size_t(row) * cw], pic.u + row * pic.uv_stride, size_t(cw));
    std::memcpy(&job.v[size_t(row) * cw], pic.v + row * pic.uv_stride, size_t(cw));
  }
  CSnapshotEncoder::Instance().Submit(std::move(job));
}

const bool g_registered = [] {
  RegisterSnapshotWriter(&ServeSnapshot);
  return true;
}();

}  // namespace

bool EncodeSnapshotJpeg(const YuvPlanes& p, std::vector<uint8_t>* jpeg) {
  if (p.y == nullptr || p.u == nullptr || p.v == nullptr || p.width <= 0 || p.height <= 0 ||
      p.width > 65500 || p.height > 65500 || jpeg == nullptr) {
    return false;
  }
  std::vector<uint8_t> row(size_t(p.width) * 3);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  const bool ok = EncodeRows(p, row.data(), &out, &out_size);
  if (ok && out != nullptr) jpeg->assign(out, out + out_size);
  std::free(out);
  return ok && !jpeg->empty();
}

bool RequestSnapshot(CClientSession& session, const std::string& path) {
  if (path.empty() || !MakeDirectoryForPath(path)) return false;
  std::string native;
  if (!qrplat::TranslatePath(path, &native) || native.empty()) return false;
  std::shared_ptr<CAVDisplay> display = FindDisplay(session);
  if (!display) return false;
  std::lock_guard<std::mutex> lock(display->capture_mutex());
  {
    Requests& r = GetRequests();
    std::lock_guard<std::mutex> paths(r.mutex);
    r.paths[display.get()] = native;
  }
  display->SetCapturePending(true);
  return true;
}

void WaitForSnapshotsWritten() {
  CSnapshotEncoder::Instance().WaitIdle();
}

}  // namespace quornet
