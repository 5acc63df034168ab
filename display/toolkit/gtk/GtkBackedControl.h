#pragma once

#include "NSObject.h"

#include <gtk/gtk.h>

#include <vector>

// A widget that sends actions, as an NSControl. For a GtkToggleButton (check button) or
// a GtkCheckMenuItem the state is the widget's check state; setState changes it with
// the widget's action handlers blocked, so setting the state never sends the action
// again. For other widgets the state is only kept.
class GtkBackedControl : public NSControl {
public:
    explicit GtkBackedControl(GtkWidget* widget) : mWidget(widget) {}

    void setState(int state) override;
    int state() const override;

    // The loader tells the control which handlers send its actions.
    void addActionHandler(gulong handler) { mActionHandlers.push_back(handler); }

private:
    GtkWidget* mWidget; // the wrapper lives as long as the widget
    std::vector<gulong> mActionHandlers;
};
