// libzmq and CZMQ are not built with ThreadSanitizer. Their threads hand
// frames, settings and the end of an actor to each other through libzmq's
// lock-free queues, whose atomics the sanitizer cannot see, so the memory
// calls they make look like races. Reports with frames in these two
// libraries (or on threads they started) are suppressed. The tests' own
// threads are std::threads that touch CZMQ only through its calls, so their
// races are still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libzmq.so.5\n"
         "race:libczmq.so.4\n";
}
#endif
