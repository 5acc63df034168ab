#pragma once

// The process's PortAudio session: begun on first use, begun again to look at the devices
// afresh, ended at process exit. Control thread (see AudioHardware.h).

// True when PortAudio runs; begins it when it does not.
bool portAudioReady();

// Ends and begins PortAudio again when no stream is open and its device list is older
// than a moment, so that devices (or a sound server) that came or went since are seen;
// otherwise as portAudioReady. Called by the default-device query.
bool portAudioRefreshed();
