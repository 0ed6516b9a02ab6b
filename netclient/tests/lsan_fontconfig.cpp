// fontconfig keeps its configuration and font caches for the life of the
// process; LeakSanitizer reports them at exit once cairo has drawn text.
// They are library-internal one-time allocations, not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
