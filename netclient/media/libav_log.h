// libavcodec's log lines go to the library's debug sink (standard error only
// when QRNET_DEBUG is set), never straight to the host's standard error; the
// error lines of a decode are counted for the thread that runs it.
#pragma once

namespace quornet {

// Installs the process-wide libav log callback once; later calls do nothing.
// It runs when the library is loaded; the display calls it again before
// opening a decoder. The host's av_log_set_level still chooses which lines
// are written.
void RouteLibavLog();

// While one is alive on a thread, libav lines of level error or worse that
// this thread logs are noted in it (libavcodec reports concealed slices and
// broken references only through its log). Not nestable.
class LibavErrorScope {
 public:
  LibavErrorScope();
  ~LibavErrorScope();
  LibavErrorScope(const LibavErrorScope&) = delete;
  LibavErrorScope& operator=(const LibavErrorScope&) = delete;

  bool error_seen() const { return errors_ != 0; }

 private:
  friend void NoteLibavError();
  int errors_ = 0;
};

}  // namespace quornet
