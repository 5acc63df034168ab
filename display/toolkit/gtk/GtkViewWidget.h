#pragma once

#include <gtk/gtk.h>

class NSView;

// The widget of a view class: a GtkDrawingArea that shows the view's finished picture
// 1:1 and passes clicks on.
//
// Redraws: a tick of the widget's frame clock (about 60 a second while the window is
// shown) takes the view's redraw flag; when it was set, display() composes a new picture
// on the main thread, which is copied into the widget's image surface and shown. Nothing
// of this runs on the thread that asked for the redraw.
//
// Clicks: a release of the first button becomes mouseUp: with the centre of the pixel
// under the pointer in window coordinates (origin at the lower-left corner of the
// window's content, y up), so a pixel the view drew at (x, y) is clicked at
// (x + 0.5, y + 0.5) in view coordinates. The view's frame origin follows the widget's
// place in the window.

// Called as the widget is created, before it has a view.
void prepareViewWidget(GtkWidget* widget);
// Gives the widget its view (not owned) once created; the first tick draws it.
void attachView(GtkWidget* widget, NSView* view);
