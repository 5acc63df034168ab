// SoundView's frame: the wave picture composed byte by byte in the off-screen bitmap,
// put on the view, then the readouts and buttons over it; and the picture's background
// and centre line.
#include "DisplayLayout.h"
#include "FramePixels.h"
#include "SoundView.h"

#include "NSBitmapImageRep.h"
#include "NSImage.h"
#include "SaturatingCast.h"

#include <algorithm>

using display_layout::kWaveBottom;

void SoundView::drawRect(NSRect rect) {
    // The whole frame, readouts and buttons included, draws this one analysis.
    mHandover.takeLatest();

    std::int32_t width = toInt32(rect.size.width);
    std::int32_t height = toInt32(rect.size.height);
    std::uint8_t* store = nullptr;
    if (mDestImageRep != nullptr) {
        // A rectangle larger than the bitmap is drawn as the bitmap's own size, in points.
        width = std::min(width, mDestImageRep->pixelsWide() / backingScaleFactor());
        height = std::min(height, mDestImageRep->pixelsHigh() / backingScaleFactor());
        store = mDestImageRep->bitmapData();
    }

    // Without a bitmap the routines still advance the fades and the glide, but write
    // nothing, and no wave picture is shown.
    drawBackground(store, width, height, kWaveBottom);
    drawSyncWave(store, width, kWaveBottom);
    drawPeriodMark(store, width, kWaveBottom);
    drawForeground(store, width, height, kWaveBottom);
    drawSelectedPeriodMark(store, width, kWaveBottom);
    if (store != nullptr && mDestImage != nullptr) {
        mDestImage->drawAtPoint(rect.origin, rect, NSCompositeCopy, 1.0f);
    }

    drawFrequencyWithWidth(width);
    drawSelectedFrequencyWithWidth(width);
    drawButtons();
}

// The border, the separator and the centre line keep their width in points at every
// scale, as the toolkit's own lines around the view do.
void SoundView::drawBackground(std::uint8_t* p, std::int32_t width, std::int32_t height,
                               std::int32_t wavBottom) {
    FramePixels pixels(mDestImageRep, p, width, backingScaleFactor());
    const std::int64_t bottom = wavBottom;
    const std::int64_t lastRow = static_cast<std::int64_t>(height) - 1;
    const std::int64_t lastColumn = static_cast<std::int64_t>(width) - 1;
    pixels.fillRows(pixels.first(0), pixels.last(0), 0);
    pixels.fillRows(pixels.first(1), pixels.last(bottom - 1), 75);
    pixels.fillRows(pixels.first(bottom), pixels.last(bottom), 0);
    pixels.fillRows(pixels.first(bottom + 1), pixels.last(lastRow), 48);
    pixels.fillRows(pixels.first(lastRow), pixels.last(lastRow), 0);
    for (const std::int64_t column : {std::int64_t{0}, lastColumn}) {
        pixels.fillBlock(pixels.first(column), pixels.last(column), pixels.first(0),
                         pixels.last(lastRow), 0, 0, 0);
    }
}

void SoundView::drawForeground(std::uint8_t* p, std::int32_t width, std::int32_t /*height*/,
                               std::int32_t wavBottom) {
    FramePixels pixels(mDestImageRep, p, width, backingScaleFactor());
    const std::int64_t centre = toInt32(static_cast<double>(wavBottom) * 0.5);
    pixels.fillRows(pixels.first(centre), pixels.last(centre), 48);
}
