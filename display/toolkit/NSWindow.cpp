#include "NSWindow.h"

void NSWindow::orderOut(NSObject*) { mVisible = false; }

void NSWindow::makeKeyAndOrderFront(NSObject*) { mVisible = true; }

void NSWindow::performClose(NSObject*) {
    if (mDelegate != nullptr && !mDelegate->windowShouldClose(this)) {
        return;
    }
    orderOut(this);
}
