#pragma once

// The paced ALSA test devices, for tests that run the real PortAudio/ALSA path on a
// machine without a sound card.
//
// A PacedAlsa writes an ALSA configuration (paced-alsa.conf.in) into a fresh temporary
// folder and points ALSA_CONFIG_PATH at it. In it, the default capture device reads the
// given file through tuner-pacer, which feeds a named pipe at 44100 frames per second (512
// frames per write, silence or the file again after its end), and the default playback
// device drains into tuner-pacing-sink, which reads its pipe at the same rate. Callbacks
// therefore come at real-time pace, and the captured frames are the file's, bit for bit, in
// order, from its first frame on. Faults (stalls, bursts, vanishing devices, clocks apart)
// can be injected at any moment; PacedDevice.h describes them and their log.
//
// Use, in a test program's main thread (the helpers end when the thread that started them
// does), before anything touches ALSA (the backend begins PortAudio once per process, so
// each configuration needs a process of its own):
//
//     PacedAlsa alsa(PacedAlsa::rawStereoFrom(flacPath, scratchFolder));  // or a .raw file
//     if (!alsa.ready()) { ... alsa.error() ... }
//     ... run the tests; stop every stream before alsa goes away ...
//
// The file holds interleaved two-channel 32-bit little-endian floats at 44100 Hz: the
// format the streams ask for, so ALSA's plug layer converts nothing (a conversion loses
// periods). Shell scripts get the same set-up from paced-alsa.sh.

#include <string>
#include <sys/types.h>
#include <vector>

class PacedAlsa {
public:
    enum class AfterEnd { silence, loop };

    explicit PacedAlsa(const std::string& rawFile, AfterEnd afterEnd = AfterEnd::silence);
    ~PacedAlsa(); // ends the helpers, removes the folder, restores ALSA_CONFIG_PATH
    PacedAlsa(const PacedAlsa&) = delete;
    PacedAlsa& operator=(const PacedAlsa&) = delete;

    bool ready() const { return mError.empty(); }
    const std::string& error() const { return mError; }
    const std::string& folder() const { return mFolder; }

    // Injects a fault into one side: "capture stall 0.2", "playback vanish 1.5",
    // "capture bursts 4096", "playback clock -50", ... (PacedDevice.h). Returns once the
    // helper has logged its start; false when it refused the fault or did not answer
    // within a second.
    bool inject(const std::string& fault);

    // One line of the fault log: CLOCK_MONOTONIC and CLOCK_REALTIME in seconds, the side
    // ("capture", "playback"), the event ("stall", "vanish", "back", "resume", ...) and the
    // rest of the line ("0.2", "dropped=8704 next=96256", ...).
    struct FaultEvent {
        double monotonic = 0;
        double realtime = 0;
        std::string side;
        std::string event;
        std::string detail;
    };
    std::vector<FaultEvent> faultLog() const;

    // Converts a sound file that libsndfile reads (FLAC, WAV) into the raw stereo float
    // form, a mono file going to both channels. Returns the raw file's path, or an empty
    // string when the file cannot be read or written.
    static std::string rawStereoFrom(const std::string& soundFile, const std::string& rawFile);

private:
    pid_t start(std::vector<std::string> arguments);
    bool writeConfiguration();

    std::string mError;
    std::string mFolder;
    std::string mConfiguration;
    std::string mPreviousConfigPath;
    bool mHadConfigPath = false;
    pid_t mPacer = -1;
    pid_t mSink = -1;
};
