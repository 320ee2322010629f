// libzmq and CZMQ are not built with ThreadSanitizer. Their threads hand
// messages to each other through lock-free queues whose atomics the
// sanitizer cannot see, so the memory calls these libraries make (malloc,
// free, memcpy on message buffers) look like races. The interceptors called
// from these two libraries are ignored; code of ours that runs on threads
// they started, or that touches what they hand over, is still checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libzmq.so.5\n"
         "called_from_lib:libczmq.so.4\n";
}
#endif
