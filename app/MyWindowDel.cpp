#include "MyWindowDel.h"

#include "NSApplication.h"

MyWindowDel::~MyWindowDel() {
    NSApplication::sharedApplication().setReopenHandler({});
}

void MyWindowDel::awakeFromNib() {
    NSApplication::sharedApplication().setReopenHandler([this] { reopenOnLaunch(); });
}

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
        mLastSender = sender;
    }
}

// Only a control that reopenWindow: set can show 0 while the window is hidden: the close
// button changes no state.
void MyWindowDel::reopenOnLaunch() {
    if (window == nullptr) {
        return;
    }
    window->makeKeyAndOrderFront(this);
    if (mLastSender != nullptr) {
        mLastSender->setState(1);
    }
}
