#pragma once

#include <atomic>
#include <cstdio>

// The stream of the program's own diagnostics: the standard error stream.
//
// Audio libraries (PortAudio, ALSA plugins, the JACK client) write their own chatter to C's
// `stderr` stream from any thread, with no hook to stop them. keepLibraryChatterOff()
// points `stderr` at /dev/null and keeps the real standard error for the program's own
// text, which goes through diagnostics(). A thread may divert its own diagnostics for a
// while (captureDiagnostics), so that a retried action says what happened only once.

namespace diagnostics_detail {
inline std::atomic<std::FILE*> gStandardError{nullptr};
inline thread_local std::FILE* tCapture = nullptr;
} // namespace diagnostics_detail

inline std::FILE* diagnostics() {
    if (diagnostics_detail::tCapture != nullptr) {
        return diagnostics_detail::tCapture;
    }
    std::FILE* const standardError =
        diagnostics_detail::gStandardError.load(std::memory_order_acquire);
    return standardError != nullptr ? standardError : stderr;
}

// Once, before the libraries run and before other threads print. Where /dev/null cannot
// be opened nothing changes.
inline void keepLibraryChatterOff() {
    if (diagnostics_detail::gStandardError.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    std::FILE* const null = std::fopen("/dev/null", "w");
    if (null == nullptr) {
        return;
    }
    diagnostics_detail::gStandardError.store(stderr, std::memory_order_release);
    stderr = null;
}

// Diverts this thread's diagnostics into `stream` (null: back to the standard error);
// returns where they went before, so that diversions nest.
inline std::FILE* captureDiagnostics(std::FILE* stream) {
    std::FILE* const previous = diagnostics_detail::tCapture;
    diagnostics_detail::tCapture = stream;
    return previous;
}
