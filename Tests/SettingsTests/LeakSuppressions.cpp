// Under LeakSanitizer: fontconfig, which Qt loads to lay out text, keeps a few caches of its own
// until the process ends; those are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
