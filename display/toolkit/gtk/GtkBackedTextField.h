#pragma once

#include "NSTextField.h"

#include <gtk/gtk.h>

// A GtkLabel as an NSTextField: the text is the label's, and a hidden field takes no
// room in the window.
class GtkBackedTextField : public NSTextField {
public:
    explicit GtkBackedTextField(GtkLabel* label) : mLabel(label) {}

    void setStringValue(const std::string& text) override;
    void setHidden(bool hidden) override;

private:
    GtkLabel* mLabel; // the wrapper lives as long as the label
};
