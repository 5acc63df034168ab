#pragma once

// The process's one PortAudio session, begun on first use and ended at process exit.

// True when PortAudio runs. Begins the session on the first call: keeps ALSA's
// diagnostics off the standard error stream, refuses an ALSA configuration without a
// default device (PortAudio aborts the process on one), then initialises PortAudio and
// arranges for the streams to be closed and PortAudio ended at exit. Main thread.
bool portAudioReady();
