#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

// A sample of the analysis window as the intake stores it.
using SharedFloat = std::atomic<float>;

// One finished analysis as a frame reads it: the tuner fields that the wave, the measured
// period mark, the frequency readout and the in-tune colour are drawn from, as they stood
// at the end of the analysis, and a copy of the window it analysed. The string selection
// is not among them: it is the user's as much as the analysis's, and a frame shows it as
// it stands.
struct PublishedAnalysis {
    std::int32_t mFirstPeriod = 0;
    std::int32_t mSamplesToDraw = 0;
    float mCurrentVolume = 0.0f;
    float mHighestVolume = 0.0f;
    float mFrequency = 0.0f;
    float mFrequencyStable = 0.0f;
    float mInTune = 0.0f;
    float mDisplayFrequency = 0.0f;
    // The window's samples, size entries; null while there is no window.
    const float* samples = nullptr;
    std::int32_t size = 0;
};

// Hands each finished analysis from the audio thread to the frames on the main thread,
// whole: a frame never sees the intake's next block, nor fields of a later analysis.
//
// Three slots per window size (a triple buffer): the writer fills the one that is neither
// the latest nor the one shown, then swaps it in as the latest with one atomic exchange;
// the reader swaps the latest for the one it showed. Neither side waits, and publishing
// allocates nothing. A new window size brings a new set of slots, allocated by the
// intake's rebuild; a replaced set that the reader may still show is freed at a later
// rebuild or with the handover, never under the reader.
//
// Threads: resize() and publish() on one thread at a time (the audio thread while it
// runs); takeLatest() and shown() on the one thread that draws frames.
class AnalysisHandover {
public:
    // Slots without a window; the reader shows zero values until the first publication.
    AnalysisHandover();
    ~AnalysisHandover();
    AnalysisHandover(const AnalysisHandover&) = delete;
    AnalysisHandover& operator=(const AnalysisHandover&) = delete;

    // --- Writer ------------------------------------------------------------------

    // Makes room for windows of size samples: allocates. The new slots go to the reader
    // with their first publication; until then it shows the last analysis of the old
    // size. False when memory is short; the old slots then stay.
    bool resize(std::int32_t size);
    // Copies values and the window (size entries, null for none) into a free slot and
    // makes it the latest. No waiting, no allocation, no freeing.
    void publish(const PublishedAnalysis& values, const SharedFloat* window, std::int32_t size);
    // Replaced slot sets not yet freed.
    std::int32_t retiredCount() const noexcept;

    // --- Reader ------------------------------------------------------------------

    // Moves on to the latest publication, if there is a newer one, and returns it.
    const PublishedAnalysis& takeLatest();
    // The publication taken last; it stays unchanged until the next takeLatest().
    const PublishedAnalysis& shown() const noexcept;

private:
    struct Slots;

    void reclaimRetired();

    std::atomic<Slots*> mCurrent{nullptr}; // the set the latest publication is in
    std::atomic<Slots*> mHeld{nullptr};    // the set the reader shows or is moving to

    // Writer only.
    Slots* mWriting = nullptr; // mCurrent, or a new set not yet published
    int mBack = 0;
    Slots* mRetired = nullptr;

    // Reader only.
    Slots* mShownSlots = nullptr;
    int mFront = 0;
};
