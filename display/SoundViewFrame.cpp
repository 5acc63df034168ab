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
        // A rectangle larger than the bitmap is drawn as the bitmap's own size.
        width = std::min(width, mDestImageRep->pixelsWide());
        height = std::min(height, mDestImageRep->pixelsHigh());
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

void SoundView::drawBackground(std::uint8_t* p, std::int32_t width, std::int32_t height,
                               std::int32_t wavBottom) {
    FramePixels pixels(mDestImageRep, p, width);
    const std::int64_t bottom = wavBottom;
    const std::int64_t lastRow = static_cast<std::int64_t>(height) - 1;
    pixels.fillRows(0, 0, 0);
    pixels.fillRows(1, bottom - 1, 75);
    pixels.fillRows(bottom, bottom, 0);
    pixels.fillRows(bottom + 1, lastRow, 48);
    pixels.fillRows(lastRow, lastRow, 0);
    pixels.fillColumn(0, 0, lastRow, 0, 0, 0);
    pixels.fillColumn(static_cast<std::int64_t>(width) - 1, 0, lastRow, 0, 0, 0);
}

void SoundView::drawForeground(std::uint8_t* p, std::int32_t width, std::int32_t /*height*/,
                               std::int32_t wavBottom) {
    FramePixels pixels(mDestImageRep, p, width);
    const std::int64_t centre = toInt32(static_cast<double>(wavBottom) * 0.5);
    pixels.fillRows(centre, centre, 48);
}
