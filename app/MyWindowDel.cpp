#include "MyWindowDel.h"

bool MyWindowDel::windowShouldClose(NSObject*) {
    if (window != nullptr) {
        window->orderOut(this);
    }
    return false;
}

// Acts on the window's actual visibility, not on the control's state, which the close
// button leaves as it was.
void MyWindowDel::reopenWindow(NSControl* sender) {
    if (window == nullptr) {
        return;
    }
    const bool visible = window->isVisible();
    if (visible) {
        window->orderOut(this);
    } else {
        window->makeKeyAndOrderFront(this);
    }
    if (sender != nullptr) {
        sender->setState(visible ? 0 : 1);
    }
}
