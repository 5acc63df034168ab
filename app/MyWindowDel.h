#pragma once

#include "NSObject.h"
#include "NSWindow.h"

// Hides the tuner window instead of closing it, and shows or hides it on command; the
// view and the engine live on while it is hidden.
class MyWindowDel : public NSObject, public NSWindowDelegate {
public:
    ~MyWindowDel() override;
    // Takes over what a second launch of the program does (reopenOnLaunch).
    void awakeFromNib() override;
    bool windowShouldClose(NSObject* sender) override;
    void reopenWindow(NSControl* sender);
    // A second launch: brings the window to the front, as reopenWindow: shows a hidden
    // one, and sets the control that last sent reopenWindow: to 1 as that does.
    void reopenOnLaunch();

    NSWindow* window = nullptr; // outlet, not owned

private:
    NSControl* mLastSender = nullptr; // lives as long as the interface's widgets
};
