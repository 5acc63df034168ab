// SoundView's two period marks: the measured period through the wave area, fading with
// the note's stability, and the selected string's period as a tick below it, gliding to
// its place.
#include "DisplayLayout.h"
#include "FramePixels.h"
#include "SoundView.h"

#include "SaturatingCast.h"

using display_layout::kSampleRate;

void SoundView::drawPeriodMark(std::uint8_t* p, std::int32_t width, std::int32_t height) {
    const PublishedAnalysis& analysis = mHandover.shown();
    const float columnsPerSample =
        static_cast<float>(width) / static_cast<float>(analysis.mSamplesToDraw);
    std::int64_t x = toInt32(columnsPerSample * (kSampleRate / analysis.mFrequency));
    if (x < 0) {
        x = 0;
    }
    if (x > static_cast<std::int64_t>(width) - 1) {
        x = static_cast<std::int64_t>(width) - 1;
    }

    mPeriodMarkAlpha = fadedAlpha(mPeriodMarkAlpha, analysis.mFrequencyStable != 0.0f);
    const float alpha = mPeriodMarkAlpha;
    const std::uint8_t bright = fadedLevel(alpha, 250.0);
    const std::uint8_t dim = fadedLevel(alpha, 0.0);

    if (x <= 0 || height <= 0) {
        return;
    }
    FramePixels pixels(mDestImageRep, p, width);
    if (analysis.mInTune != 0.0f) {
        pixels.fillColumn(x, 0, height - 1, dim, bright, dim);
    } else {
        pixels.fillColumn(x, 0, height - 1, bright, dim, dim);
    }
}

void SoundView::drawSelectedPeriodMark(std::uint8_t* p, std::int32_t width, std::int32_t height) {
    // The goal follows the selection and the width in samples as they stand, so the mark
    // sets off in the frame after a click; only its colour comes from the analysis shown.
    const PublishedAnalysis& analysis = mHandover.shown();
    const float columnsPerSample =
        static_cast<float>(width) / static_cast<float>(mSamplesToDraw.load());
    const float target = frequencyList[display_layout::stringIndex(selectedFrequency)];
    const float goal = static_cast<float>(toInt32(columnsPerSample * (kSampleRate / target)));

    // A quarter of the remaining distance a frame, plus a pixel while more than one away.
    const float position = selectedMarkPos;
    const float glided = static_cast<float>(static_cast<double>(position) +
                                            static_cast<double>(goal - position) * 0.25);
    float next = glided;
    if (goal < glided - 1.0f) {
        next = glided - 1.0f;
    }
    if (goal > next + 1.0f) {
        next = next + 1.0f;
    }
    selectedMarkPos = next;

    std::int64_t x = toInt32(next);
    if (x < 0) {
        x = 0;
    }
    if (x > static_cast<std::int64_t>(width) - 1) {
        x = static_cast<std::int64_t>(width) - 1;
    }
    if (x <= 0) {
        return;
    }
    FramePixels pixels(mDestImageRep, p, width);
    const std::int64_t top = height;
    if (analysis.mInTune != 0.0f) {
        pixels.fillColumn(x, top, top + 15, 0, 250, 0);
    } else {
        pixels.fillColumn(x, top, top + 15, 250, 0, 0);
    }
}
