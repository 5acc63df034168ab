// NSWindow on GtkWindow: visibility, hiding, presenting, and the close button (the
// "delete-event") turned into the delegate's close question.
#include "GtkBackedWindow.h"

namespace {

gboolean onDeleteEvent(GtkWidget*, GdkEvent*, gpointer window) {
    static_cast<GtkBackedWindow*>(window)->performClose(nullptr);
    return TRUE; // GTK would destroy the window; closing only ever hides it
}

} // namespace

GtkBackedWindow::GtkBackedWindow(GtkWindow* window) : mWindow(window) {
    mDeleteHandler = g_signal_connect(window, "delete-event", G_CALLBACK(onDeleteEvent), this);
}

GtkBackedWindow::~GtkBackedWindow() {
    // The window's data goes last, when its handlers may already be gone.
    if (g_signal_handler_is_connected(mWindow, mDeleteHandler)) {
        g_signal_handler_disconnect(mWindow, mDeleteHandler);
    }
}

bool GtkBackedWindow::isVisible() const {
    return gtk_widget_get_visible(GTK_WIDGET(mWindow));
}

void GtkBackedWindow::orderOut(NSObject*) {
    gtk_widget_hide(GTK_WIDGET(mWindow));
}

void GtkBackedWindow::makeKeyAndOrderFront(NSObject*) {
    gtk_window_present(mWindow);
}
