#include "NSView.h"

namespace {
NSView* gFocusView = nullptr; // main thread only
} // namespace

NSView::NSView(NSRect frame)
    : mFrame(frame), mPicture(toInt32(frame.size.width), toInt32(frame.size.height)) {}

NSView::~NSView() {
    if (gFocusView == this) {
        gFocusView = nullptr;
    }
}

void NSView::display() {
    NSView* const previous = gFocusView;
    gFocusView = this;
    drawRect(NSMakeRect(0.0f, 0.0f, static_cast<float>(mPicture.width()),
                        static_cast<float>(mPicture.height())));
    gFocusView = previous;
}

NSView* NSView::focusView() { return gFocusView; }

void NSView::drawRect(NSRect) {}

void NSView::mouseUp(const NSEvent&) {}
