#pragma once

#include "NSWindow.h"

#include <gtk/gtk.h>

// A GtkWindow as an NSWindow. The close button asks the delegate (performClose) and the
// window is never destroyed by it, only hidden.
class GtkBackedWindow : public NSWindow {
public:
    explicit GtkBackedWindow(GtkWindow* window);
    ~GtkBackedWindow() override;

    bool isVisible() const override;
    void orderOut(NSObject* sender) override;
    void makeKeyAndOrderFront(NSObject* sender) override;

    GtkWindow* gtkWindow() const { return mWindow; }

private:
    GtkWindow* mWindow; // the wrapper lives as long as the window
    gulong mDeleteHandler = 0;
};
