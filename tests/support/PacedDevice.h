#pragma once

// One side of the paced test devices (PacedAlsa.h), shared by tuner-pacer (capture) and
// tuner-pacing-sink (playback), with the faults a test can inject into it.
//
// The device is the named pipe FOLDER/capture/fifo or FOLDER/playback/fifo, which the
// helper holds open for reading and writing whenever the device is present: ALSA's file
// plugin then opens it without blocking, any number of times, and never sees the other
// end go away. The pipe holds one chunk, so the helper stays at most one chunk ahead of
// its reader (capture) or lets its writer at most one chunk ahead (playback). The helper
// moves one chunk of 512 stereo float frames per 512/44100 s on the monotonic clock
// (PacedClock.h); while nobody reads (capture) or writes (playback) the recording waits.
//
// Faults arrive as lines on the named pipe FOLDER/capture.control or
// FOLDER/playback.control (paced-fault.sh and PacedAlsa::inject write them):
//   stall SECONDS   capture: nothing is written for that long, and the frames that fell
//                   due meanwhile are never delivered (an overrun); playback: nothing is
//                   read for that long, then reading goes on at real-time pace.
//   vanish SECONDS  the device is gone for that long: the pipe is closed (a running
//                   capture reads end of file, a running playback's writes fail with
//                   EPIPE and SIGPIPE) and its folder removed, with the pcm.conf there that
//                   adds the side to the default device of FOLDER/asound.conf
//                   (paced-alsa.conf.in), so that opening it fails (EINVAL). Capture loses
//                   the frames that fall due meanwhile, as in a stall.
//   bursts FRAMES   capture only: FRAMES frames per write at the same average rate (one
//                   burst every FRAMES/44100 s); 512 is the normal pace.
//   clock PPM       the side's clock runs PPM parts per million fast (slow when negative).
// SECONDS may be "inf" (until the next stall or vanish of that side; "stall 0" ends it).
//
// Every fault is logged to FOLDER/faults.log, one line each, written at once:
//   MONOTONIC REALTIME SIDE EVENT [ARGUMENTS]
// with both clocks in seconds (nine decimals) and EVENT one of the faults above (the
// moment it starts), "back" (a vanished device is present again) or "resume": the first
// chunk after a stall or vanish moved (capture: the reader took it; then
// "resume dropped=N next=F": N frames were never delivered and F is the frame of the
// recording that came next; playback: the sink read it).

#include <cstddef>
#include <functional>
#include <string>

namespace paced {

enum class Side { capture, playback };

// Fills `bytes` bytes with the recording's next frames (capture only).
using Source = std::function<void(char* data, std::size_t bytes)>;

// Serves the device until the process is ended; returns an exit status when it cannot.
int runDevice(Side side, const std::string& folder, const Source& source);

} // namespace paced
