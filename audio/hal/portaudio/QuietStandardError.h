#pragma once

// Points file descriptor 2 at /dev/null for the scope's lifetime. PortAudio prints its
// failed expressions unconditionally and the JACK client library prints its connection
// attempts; neither offers a hook, so the backend wraps its own PortAudio calls (main
// thread, never a callback) in this scope. Output of other threads during such a call
// is lost with it.
class QuietStandardError {
public:
    QuietStandardError();
    ~QuietStandardError();
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

private:
    int mSaved = -1;
};
