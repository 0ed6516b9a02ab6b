// fontconfig keeps its configuration and font caches for the life of the
// process; LeakSanitizer reports them at exit once cairo has drawn text.
// They are library-internal one-time allocations, not leaks of ours.
// libx265 (the simulator's H.265 encoder) loses some of its per-encoder
// buffers and copied parameter strings when an encoder is closed.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libx265.so\n";
}
