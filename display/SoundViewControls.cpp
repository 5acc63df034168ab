// SoundView's string buttons, its two readouts, the click that picks a string, and the
// switch of automatic string selection.
#include "DisplayLayout.h"
#include "SoundView.h"

#include "NSImage.h"
#include "SaturatingCast.h"

#include <cmath>

namespace layout = display_layout;

void SoundView::drawButtons() {
    // One reading, so that a choice made meanwhile on the audio thread cannot light two
    // buttons in one frame.
    const std::int32_t selected = selectedFrequency;
    for (int i = 0; i < tuner::kStringCount; ++i) {
        setAlpha(i == selected ? 1.0f : layout::kUnselectedButtonAlpha);
        moveToX(toInt32(buttonLocs[i].x), toInt32(buttonLocs[i].y));
        drawImage(buttonPicts[i]);
    }
}

void SoundView::drawFrequencyWithWidth(std::int32_t width) {
    // Beside the measured period mark; not clamped into the view, so a period longer
    // than the width puts the readout out of sight.
    const PublishedAnalysis& analysis = mHandover.shown();
    const float columnsPerSample =
        static_cast<float>(width) / static_cast<float>(analysis.mSamplesToDraw);
    const float x = std::fmaf(columnsPerSample, layout::kSampleRate / analysis.mFrequency,
                              layout::kReadoutOffset);
    moveToX(toInt32(x), layout::kFrequencyReadoutY);
    setAlpha(mPeriodMarkAlpha);
    drawFloat(analysis.mDisplayFrequency);
}

void SoundView::drawSelectedFrequencyWithWidth(std::int32_t /*width*/) {
    const float position = selectedMarkPos;
    moveToX(toInt32(position + layout::kReadoutOffset), layout::kSelectedReadoutY);
    setAlpha(1.0f);
    drawFloat(frequencyList[layout::stringIndex(selectedFrequency)]);
}

void SoundView::mouseUp(const NSEvent& event) {
    const NSPoint location = event.locationInWindow();
    const NSRect frameInWindow = frame();
    const float x = location.x - frameInWindow.origin.x;
    const float y = location.y - frameInWindow.origin.y;
    // Strict on every edge; where buttons overlap, the later one wins. A button without
    // an image has no area and is never hit.
    for (int i = 0; i < tuner::kStringCount; ++i) {
        const NSSize size = buttonPicts[i] != nullptr ? buttonPicts[i]->size() : NSSize{};
        const NSPoint corner = buttonLocs[i];
        if (corner.x < x && x < corner.x + size.width && corner.y < y &&
            y < corner.y + size.height) {
            selectedFrequency = i;
        }
    }
}

void SoundView::toggleAutoSelect(NSControl* sender) {
    // The view's flag decides; the control is made to show it.
    const int state = autoSelect != 0 ? 0 : 1;
    autoSelect = state;
    if (sender != nullptr) {
        sender->setState(state);
    }
}
