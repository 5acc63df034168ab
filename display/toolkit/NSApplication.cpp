#include "NSApplication.h"

#include "NSWindow.h"

NSApplication& NSApplication::sharedApplication() {
    static NSApplication application;
    return application;
}

void NSApplication::terminate(NSObject*) {
    if (!mRunning) {
        return;
    }
    mRunning = false;
    mTerminator();
}

void NSApplication::reopen() {
    if (mReopenHandler) {
        mReopenHandler();
        return;
    }
    for (NSWindow* window : mWindows) {
        window->makeKeyAndOrderFront(nullptr);
    }
}

void NSApplication::setTerminator(std::function<void()> terminator) {
    mTerminator = std::move(terminator);
    mRunning = static_cast<bool>(mTerminator);
}
