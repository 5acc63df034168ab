// SoundView's wave: one grey dot per sample from the first period start, spread so that
// mSamplesToDraw samples fill the width, fading out while the volume is out of range. At
// a finer scale each dot is still a point square, placed to the store's pixel.
#include "FramePixels.h"
#include "SoundView.h"

#include "SaturatingCast.h"

#include <algorithm>

void SoundView::drawSyncWave(std::uint8_t* p, std::int32_t width, std::int32_t height) {
    const PublishedAnalysis& analysis = mHandover.shown();
    const float current = analysis.mCurrentVolume;
    const float highest = analysis.mHighestVolume;
    const bool heard = static_cast<double>(current) > 0.04 * static_cast<double>(highest) &&
                       static_cast<double>(current) < 1.1 * static_cast<double>(highest);
    mWaveAlpha = fadedAlpha(mWaveAlpha, heard);
    const std::uint8_t grey = fadedLevel(mWaveAlpha, 250.0);

    const std::int32_t samplesToDraw = analysis.mSamplesToDraw;
    const std::int32_t first = analysis.mFirstPeriod;
    if (samplesToDraw <= 0) {
        return;
    }
    // Only indices inside the window are read: with no period start (-1) the wave is
    // drawn from the window's first sample on, one column to the right, and a start too
    // close to the end for mSamplesToDraw samples ends the wave at the window's last one.
    const float* const samples = analysis.samples;
    const std::int64_t size = analysis.size;
    if (samples == nullptr) {
        return;
    }
    const std::int64_t begin = std::max<std::int64_t>(first, 0);
    const std::int64_t end = std::min(static_cast<std::int64_t>(first) + samplesToDraw, size);

    FramePixels pixels(mDestImageRep, p, width, backingScaleFactor());
    const std::int64_t dot = pixels.scale();
    const float centre = static_cast<float>(dot * toInt32(static_cast<double>(height) * 0.5));
    const float scale = static_cast<float>(dot * height - dot * 4) / (highest + highest);
    const float columnsPerSample =
        static_cast<float>(dot * width) / static_cast<float>(samplesToDraw);
    // The rows and columns a dot may start at to lie whole in the wave area.
    const std::int64_t lastRow = dot * height - dot;
    const std::int64_t lastColumn = dot * width - dot;
    for (std::int64_t i = begin; i < end; ++i) {
        const float sample = samples[i];
        std::int64_t y = toInt32(centre - sample * scale);
        if (y < 0) {
            y = 0;
        }
        if (y > lastRow) {
            y = lastRow;
        }
        std::int64_t x = toInt32(columnsPerSample * static_cast<float>(i - first));
        if (x < 0) {
            x = 0;
        }
        if (x > lastColumn) {
            x = lastColumn;
        }
        pixels.fillBlock(x, x + dot - 1, y, y + dot - 1, grey, grey, grey);
    }
}
