#pragma once

#include "NSObject.h"

class NSWindow;

// What a window asks of its delegate. A class that the interface file names as a
// window's delegate derives from this beside NSObject.
class NSWindowDelegate {
public:
    virtual ~NSWindowDelegate() = default;
    // The close button was pressed: true lets the window close, false keeps it open (the
    // delegate may hide it itself).
    virtual bool windowShouldClose(NSObject* sender) = 0;
};

// A top-level window. The base only tracks visibility, which is enough for code and tests
// that run without a window system; the backend's window shows and hides the real one.
// Closing never destroys a window: a closed window is hidden and can be shown again.
// Main thread only.
class NSWindow : public NSObject {
public:
    virtual bool isVisible() const { return mVisible; }
    // Hides the window.
    virtual void orderOut(NSObject* sender);
    // Shows the window in front of the others and gives it the keyboard.
    virtual void makeKeyAndOrderFront(NSObject* sender);

    void setDelegate(NSWindowDelegate* delegate) { mDelegate = delegate; }
    NSWindowDelegate* delegate() const { return mDelegate; }

    // What the close button does: asks the delegate (none: yes) and hides the window
    // when the answer is yes.
    void performClose(NSObject* sender);

private:
    bool mVisible = false;
    NSWindowDelegate* mDelegate = nullptr; // not owned
};
