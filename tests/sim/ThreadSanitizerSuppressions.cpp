// ThreadSanitizer suppressions for every test program, in one place so no two
// programs define them differently (and no program defines them twice).
//
// libzmq and CZMQ are not built with the sanitizer. Their threads hand
// messages to each other through lock-free queues whose atomics it cannot
// see, so the allocations and copies these libraries make look like races.
// The interceptors they call are ignored; our own code, including what runs
// on threads they started, is still checked.
//
// umockdev's preload library, GLib and GObject (the emulated USB and HID
// devices) guard their state with futex-based locks the sanitizer does not
// see. Reports inside them are suppressed; the stacks of our device models
// end at libffi and never reach these libraries, so their races are still
// reported.
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((used)) const char* __tsan_default_suppressions() {
  return "called_from_lib:libzmq.so.5\n"
         "called_from_lib:libczmq.so.4\n"
         "race:libumockdev.so\n"
         "race:libglib-2.0.so\n"
         "race:libgobject-2.0.so\n";
}
#endif
