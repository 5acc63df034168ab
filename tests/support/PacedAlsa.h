#pragma once

// The paced ALSA test devices, for tests that run the real PortAudio/ALSA path on a
// machine without a sound card.
//
// A PacedAlsa writes an ALSA configuration (paced-alsa.conf.in) into a fresh temporary
// folder and points ALSA_CONFIG_PATH at it. In it, the default capture device reads the
// given file through tuner-pacer, which feeds a pipe at 44100 frames per second (512
// frames per write, silence or the file again after its end), and the default playback
// device drains into tuner-pacing-sink, which reads at the same rate. Callbacks therefore
// come at real-time pace, and the captured frames are the file's, bit for bit, in order,
// from its first frame on.
//
// Use, in a test program's main() before anything touches ALSA (ALSA reads its
// configuration once per process, so each configuration needs a process of its own):
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

class PacedAlsa {
public:
    enum class AfterEnd { silence, loop };

    explicit PacedAlsa(const std::string& rawFile, AfterEnd afterEnd = AfterEnd::silence);
    ~PacedAlsa(); // ends the pacer, removes the folder, restores ALSA_CONFIG_PATH
    PacedAlsa(const PacedAlsa&) = delete;
    PacedAlsa& operator=(const PacedAlsa&) = delete;

    bool ready() const { return mError.empty(); }
    const std::string& error() const { return mError; }
    const std::string& folder() const { return mFolder; }

    // Converts a sound file that libsndfile reads (FLAC, WAV) into the raw stereo float
    // form, a mono file going to both channels. Returns the raw file's path, or an empty
    // string when the file cannot be read or written.
    static std::string rawStereoFrom(const std::string& soundFile, const std::string& rawFile);

private:
    bool startPacer(const std::string& rawFile, AfterEnd afterEnd);
    bool writeConfiguration();

    std::string mError;
    std::string mFolder;
    std::string mConfiguration;
    std::string mPreviousConfigPath;
    bool mHadConfigPath = false;
    int mInputDescriptor = -1;
    pid_t mPacer = -1;
};
