#pragma once

#include <gtk/gtk.h>

class NSView;

// The widget of a view class: a GtkDrawingArea that shows the view's finished picture
// one pixel to one device pixel and passes clicks on.
//
// Scale: the view composes at the widget's scale factor (GDK_SCALE under X11, the
// output's scale under Wayland), and again at a new one when it changes, e.g. as the
// window moves to another monitor; its points are the widget's units.
//
// Redraws: the main loop watches the view's redraw wake-up, so it wakes only when a
// redraw is requested, and then queues a paint of the widget if it is drawable. When GTK
// paints it and the view's redraw flag is set, display() composes a new picture on the
// main thread, which is copied into the widget's image surface and shown. A hidden window
// takes no frames; its standing request is drawn when the window is shown again. Nothing
// of this runs on the thread that asked for the redraw.
//
// Clicks: a release of the first button becomes mouseUp: with the centre of the pixel
// under the pointer in window coordinates (origin at the lower-left corner of the
// window's content, y up), so a pixel the view drew at (x, y) is clicked at
// (x + 0.5, y + 0.5) in view coordinates. The view's frame origin follows the widget's
// place in the window.

// Called as the widget is created, before it has a view.
void prepareViewWidget(GtkWidget* widget);
// Gives the widget its view (not owned) once created, at the widget's scale; the first
// paint draws it. False, leaving the widget without a view, when no surface of the view's
// size can be made.
bool attachView(GtkWidget* widget, NSView* view);
