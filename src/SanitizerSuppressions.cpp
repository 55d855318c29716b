// Built-in suppressions of a ThreadSanitizer build (-DKIV_SANITIZE=thread),
// for kivd and every program that links the core.
//
// FFmpeg's decoders run worker threads of their own (frame threading) and
// hand frames and buffers between them with atomics inside libraries built
// without ThreadSanitizer, so it sees their allocations and frees race. The
// reports never involve the daemon's own memory.

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavcodec.so\n"
           "race:libavutil.so\n"
           "called_from_lib:libavcodec.so\n";
}
#endif
