#pragma once

#include "AnalysisHandover.h"
#include "NSGeometry.h"
#include "NSView.h"
#include "Relaxed.h"
#include "TunerConstants.h"

#include <cstdint>

class MySoundPort;
class NSImage;
class NSBitmapImageRep;

// The tuner view: at once the pitch analyser (analysis/) and its display (display/).
//
// Threads. The intake and the whole analysis run on the audio output thread; frames,
// clicks and the toggle on the main thread. No lock guards the state and the audio thread
// never waits:
// - a frame draws one analysis whole: each analysis ends by publishing its window and
//   the fields a frame reads through mHandover, and the frame draws the latest
//   publication, never the window the intake is filling;
// - the string selection is the user's as much as the analysis's: the buttons, the target
//   readout and the target mark read selectedFrequency (the mark also mSamplesToDraw) as
//   it stands, so a click shows in the very next frame, and a frame may show a selection
//   one analysis earlier or later than its wave;
// - every scalar that both threads touch is a Relaxed field, read and written whole;
// - the arrays of the window (mSampleBuffer, mPosZeroCrossings, mPeaks) belong to the
//   audio thread alone;
// - the pen, the images, the bitmap and the frames' fades and glide belong to the main
//   thread alone.
class SoundView : public NSView {
public:
    // initWithFrame: starting values, the string table, the eighteen images and the
    // off-screen bitmap (display/).
    explicit SoundView(NSRect frame);
    ~SoundView() override;

    // --- Intake and analysis (audio thread) ---------------------------------------

    // Takes one block of n samples into the next slot of the window; every
    // mStepsPerBuffer-th block runs the analysis, publishes it and requests a redraw.
    // output and channel are not used. Allocates only when the block length changes.
    void filterInput(const float* input, float* output, std::uint32_t sampleCount,
                     std::uint32_t channel);
    void allocSampleBuffer(std::int32_t n);
    void analyzeBuffer();
    void getVolume();
    void getPeaks();
    void getPosZeroCrossings();
    void getFrequency();
    void checkStable();
    bool validFrequency(float frequency) const;
    void getAttack();
    // The input comes from another channel from the next block on, where a note was just
    // struck: the next window starts that note, as after an attack, with `volume` (that
    // channel's volume in the window just analysed) as the volume of the window before.
    // Between windows only.
    void takeNewSource(float volume);
    // The next block is silence the engine puts in place of input it does not have (frames
    // that never came, a failing input muted, devices not yet in step). A window that holds
    // any gives no reading, and the sound after it is a strike only if it rises over the
    // last window heard whole. Between blocks only.
    void noteGap();
    // The automatic string choice (the operation that shares its name with the flag
    // autoSelect): the string nearest to mCurrentFrequency becomes the target.
    void selectNearestString();
    // Hands the finished analysis to the frames: the window and the fields a frame reads.
    void publishAnalysis();
    // What an attack resets: the note starts again at `volume`.
    void startNote(float volume);
    // The note heard before a gap is over (a failing input muted for seconds): no note, and
    // a strike heard first after the gap, from its middle, starts none. Between blocks only.
    void endNote();

    // --- Display (main thread) ----------------------------------------------------

    void drawRect(NSRect rect) override;
    // The off-screen bitmap made anew for the view's new backing scale factor.
    void viewDidChangeBackingProperties() override;
    void drawBackground(std::uint8_t* p, std::int32_t width, std::int32_t height,
                        std::int32_t wavBottom);
    void drawForeground(std::uint8_t* p, std::int32_t width, std::int32_t height,
                        std::int32_t wavBottom);
    void drawSyncWave(std::uint8_t* p, std::int32_t width, std::int32_t height);
    void drawPeriodMark(std::uint8_t* p, std::int32_t width, std::int32_t height);
    void drawSelectedPeriodMark(std::uint8_t* p, std::int32_t width, std::int32_t height);

    // The pen.
    void setAlpha(float alpha);
    void moveToX(std::int32_t x, std::int32_t y);
    void drawImage(const NSImage* image);
    void drawLetter(unsigned char character);
    void drawFloat(float value);

    // Buttons, readouts, clicks.
    void drawButtons();
    void drawFrequencyWithWidth(std::int32_t width);
    void drawSelectedFrequencyWithWidth(std::int32_t width);
    void mouseUp(const NSEvent& event) override;
    void toggleAutoSelect(NSControl* sender);

    // --- The tuner state, in declaration order ------------------------------------

    MySoundPort* soundPort = nullptr;               // 1, set by the interface file
    SharedFloat* mSampleBuffer = nullptr;           // 2, owned, audio thread
    std::int32_t* mPosZeroCrossings = nullptr;      // 3, audio thread
    std::int32_t* mPeaks = nullptr;                 // 4, audio thread
    Relaxed<std::int32_t> mSampleBufferSize{0};     // 5
    Relaxed<std::int32_t> mStepsPerBuffer{0};       // 6
    Relaxed<std::int32_t> mCurrentStep{0};          // 7
    Relaxed<std::int32_t> mFirstPeriod{0};          // 8
    Relaxed<std::int32_t> mSecondPeriod{0};         // 9
    Relaxed<std::int32_t> mLastPeriod{0};           // 10
    Relaxed<std::int32_t> mPeriodCount{0};          // 11
    Relaxed<std::int32_t> mSinceAttack{0};          // 12
    Relaxed<std::int32_t> mLastAttackVolume{0};     // 13
    Relaxed<std::int32_t> mLastAttackFrequency{0};  // 14
    Relaxed<std::int32_t> mStrikesSinceAttack{0};   // 15
    Relaxed<std::int32_t> mHitsSinceAttack{0};      // 16
    Relaxed<float> mSamplePeriod{0.0f};             // 17
    Relaxed<float> mCurrentVolume{0.0f};            // 18
    Relaxed<float> mLastVolume{0.0f};               // 19
    Relaxed<float> mHighestVolume{0.0f};            // 20
    Relaxed<float> mCurrentFrequency{0.0f};         // 21
    Relaxed<float> mFrequency{0.0f};                // 22
    Relaxed<float> mFrequencyStable{0.0f};          // 23, 0.0 or 1.0
    Relaxed<float> mInTune{0.0f};                   // 24, 0.0 or 1.0
    Relaxed<std::int32_t> mSamplesToDraw{0};        // 25
    Relaxed<float> mPeriodMarkAlpha{0.0f};          // 26, written by frames
    Relaxed<float> mWaveAlpha{0.0f};                // 27, written by frames
    Relaxed<float> mDisplayFrequency{0.0f};         // 28
    Relaxed<float> selectedMarkPos{0.0f};           // 29, written by frames
    float frequencyList[tuner::kStringCount] = {};  // 30, fixed at construction
    NSPoint buttonLocs[tuner::kStringCount] = {};   // 31, fixed at construction
    NSImage* buttonPicts[tuner::kStringCount] = {}; // 32, the same objects as e2 … e4
    Relaxed<std::int32_t> selectedFrequency{0};     // 33, written on both threads
    Relaxed<std::int32_t> autoSelect{0};            // 34, the flag
    std::int32_t mDrawX = 0;                        // 35, main thread
    std::int32_t mDrawY = 0;                        // 36, main thread
    float mDrawAlpha = 0.0f;                        // 37, main thread
    NSImage* mDestImage = nullptr;                  // 38, owned
    NSBitmapImageRep* mDestImageRep = nullptr;      // 39, owned
    NSImage* imageTooLow = nullptr;                 // 40, owned
    NSImage* n1 = nullptr;                          // 41 to 50, owned
    NSImage* n2 = nullptr;
    NSImage* n3 = nullptr;
    NSImage* n4 = nullptr;
    NSImage* n5 = nullptr;
    NSImage* n6 = nullptr;
    NSImage* n7 = nullptr;
    NSImage* n8 = nullptr;
    NSImage* n9 = nullptr;
    NSImage* n0 = nullptr;
    NSImage* dot = nullptr; // 51, owned
    NSImage* e2 = nullptr;  // 52 to 57, owned
    NSImage* a2 = nullptr;
    NSImage* d3 = nullptr;
    NSImage* g3 = nullptr;
    NSImage* b3 = nullptr;
    NSImage* e4 = nullptr;

    // The analyses published for the frames.
    AnalysisHandover mHandover;
    // The gaps (noteGap, endNote), the intake's as the window's arrays are: whether the note
    // ended since the last window heard whole, whether the window being filled and the one
    // analysed before hold one, and the volume of the last window heard whole.
    bool mNoteEnded = false;
    bool mGapInWindow = false;
    bool mGapBefore = false;
    float mHeardVolume = 0.0f;
};
