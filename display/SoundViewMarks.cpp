// SoundView's two period marks: the measured period through the wave area, fading with
// the note's stability, and the selected string's period as a tick below it, gliding to
// its place. Each is one pixel of the store wide at every scale: a finer screen shows
// where a period ends more finely, and two marks a pixel apart are seen apart.
#include "DisplayLayout.h"
#include "FramePixels.h"
#include "SoundView.h"

#include "SaturatingCast.h"

#include <algorithm>

using display_layout::kSampleRate;

void SoundView::drawPeriodMark(std::uint8_t* p, std::int32_t width, std::int32_t height) {
    const PublishedAnalysis& analysis = mHandover.shown();
    FramePixels pixels(mDestImageRep, p, width, backingScaleFactor());
    const std::int64_t scale = pixels.scale();
    const float columnsPerSample =
        static_cast<float>(scale * width) / static_cast<float>(analysis.mSamplesToDraw);
    std::int64_t x = toInt32(columnsPerSample * (kSampleRate / analysis.mFrequency));
    if (x < 0) {
        x = 0;
    }
    if (x > scale * width - 1) {
        x = scale * width - 1;
    }

    mPeriodMarkAlpha = fadedAlpha(mPeriodMarkAlpha, analysis.mFrequencyStable != 0.0f);
    const float alpha = mPeriodMarkAlpha;
    const std::uint8_t bright = fadedLevel(alpha, 250.0);
    const std::uint8_t dim = fadedLevel(alpha, 0.0);

    // Not drawn in the view's first column, the border's.
    if (x < scale || height <= 0) {
        return;
    }
    const std::int64_t bottom = pixels.last(height - 1);
    if (analysis.mInTune != 0.0f) {
        pixels.fillBlock(x, x, 0, bottom, dim, bright, dim);
    } else {
        pixels.fillBlock(x, x, 0, bottom, bright, dim, dim);
    }
}

void SoundView::drawSelectedPeriodMark(std::uint8_t* p, std::int32_t width, std::int32_t height) {
    // The goal follows the selection and the width in samples as they stand, so the mark
    // sets off in the frame after a click; only its colour comes from the analysis shown.
    const PublishedAnalysis& analysis = mHandover.shown();
    const float samplesToDraw = static_cast<float>(mSamplesToDraw.load());
    const float columnsPerSample = static_cast<float>(width) / samplesToDraw;
    const float period =
        kSampleRate / frequencyList[display_layout::stringIndex(selectedFrequency)];
    const float goal = static_cast<float>(toInt32(columnsPerSample * period));

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
    // The glide moves in points; at a finer scale the tick stands at the target period's
    // own pixel within the point it reached, where the measured period mark of a note on
    // the target stands.
    FramePixels pixels(mDestImageRep, p, width, backingScaleFactor());
    const std::int64_t scale = pixels.scale();
    const std::int64_t finest = toInt32(static_cast<float>(scale * width) / samplesToDraw * period);
    const std::int64_t column =
        scale * x + std::clamp<std::int64_t>(finest - scale * toInt32(goal), 0, scale - 1);
    const std::int64_t top = pixels.first(height);
    const std::int64_t bottom = pixels.last(static_cast<std::int64_t>(height) + 15);
    if (analysis.mInTune != 0.0f) {
        pixels.fillBlock(column, column, top, bottom, 0, 250, 0);
    } else {
        pixels.fillBlock(column, column, top, bottom, 250, 0, 0);
    }
}
