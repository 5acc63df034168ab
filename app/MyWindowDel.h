#pragma once

#include "NSObject.h"
#include "NSWindow.h"

// Hides the tuner window instead of closing it, and shows or hides it on command; the
// view and the engine live on while it is hidden.
class MyWindowDel : public NSObject, public NSWindowDelegate {
public:
    bool windowShouldClose(NSObject* sender) override;
    void reopenWindow(NSControl* sender);

    NSWindow* window = nullptr; // outlet, not owned
};
