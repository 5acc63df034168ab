#include "GtkBackedTextField.h"

void GtkBackedTextField::setStringValue(const std::string& text) {
    NSTextField::setStringValue(text);
    gtk_label_set_text(mLabel, text.c_str());
}

void GtkBackedTextField::setHidden(bool hidden) {
    NSTextField::setHidden(hidden);
    gtk_widget_set_visible(GTK_WIDGET(mLabel), hidden ? FALSE : TRUE);
}
