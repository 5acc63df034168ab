#include "GtkViewWidget.h"

#include "NSView.h"

#include <glib-unix.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// The picture as cairo shows it: the view's RGB picture converted to 32-bit xRGB, at the
// view's backing scale.
struct ViewSurface {
    NSView* view = nullptr;
    cairo_surface_t* surface = nullptr;
    guint wakeUpSource = 0; // watches the view's redraw wake-up
};

GQuark surfaceQuark() {
    static const GQuark quark = g_quark_from_static_string("tuner-toolkit-view");
    return quark;
}

ViewSurface* surfaceOf(GtkWidget* widget) {
    return static_cast<ViewSurface*>(g_object_get_qdata(G_OBJECT(widget), surfaceQuark()));
}

void deleteSurface(gpointer data) {
    auto* record = static_cast<ViewSurface*>(data);
    if (record->wakeUpSource != 0) {
        g_source_remove(record->wakeUpSource);
    }
    cairo_surface_destroy(record->surface);
    delete record;
}

// A surface for the view's picture, null when there can be none.
cairo_surface_t* createSurface(const NSView& view) {
    cairo_surface_t* const surface = cairo_image_surface_create(
        CAIRO_FORMAT_RGB24, view.picture().width(), view.picture().height());
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    const double scale = view.backingScaleFactor();
    cairo_surface_set_device_scale(surface, scale, scale);
    return surface;
}

void copyPicture(const RgbPicture& picture, cairo_surface_t* surface) {
    cairo_surface_flush(surface);
    unsigned char* const data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int row = 0; row < picture.height(); ++row) {
        const std::uint8_t* in = picture.pixel(0, row);
        auto* out =
            reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(row) * stride);
        for (int x = 0; x < picture.width(); ++x, in += 3) {
            out[x] = 0xff000000u | (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) |
                     std::uint32_t{in[2]};
        }
    }
    cairo_surface_mark_dirty(surface);
}

// The view's lower-left corner in window coordinates: the widget's place in the window's
// content, y up, with the picture's height (the part of the widget the view covers).
void updateFrameOrigin(GtkWidget* widget, NSView& view) {
    GtkWidget* const toplevel = gtk_widget_get_toplevel(widget);
    GtkWidget* content = GTK_IS_BIN(toplevel) ? gtk_bin_get_child(GTK_BIN(toplevel)) : nullptr;
    if (content == nullptr) {
        content = widget;
    }
    int x = 0;
    int y = 0;
    if (!gtk_widget_translate_coordinates(widget, content, 0, 0, &x, &y)) {
        return;
    }
    const int contentHeight = gtk_widget_get_allocated_height(content);
    view.setFrameOrigin(
        NSMakePoint(static_cast<float>(x), contentHeight - (y + view.bounds().size.height)));
}

// A redraw was requested. The frame itself is composed when GTK paints the widget; a
// widget that is not drawable (its window hidden) leaves the request standing, and the
// view writes no further wake-up until it is drawn again.
gboolean onRedrawRequested(gint, GIOCondition condition, gpointer data) {
    auto* widget = static_cast<GtkWidget*>(data);
    ViewSurface* record = surfaceOf(widget);
    if (record == nullptr || (condition & (G_IO_ERR | G_IO_NVAL)) != 0) {
        return G_SOURCE_REMOVE;
    }
    record->view->drainRedrawWakeUp();
    if (gtk_widget_is_drawable(widget) && record->view->needsDisplay()) {
        gtk_widget_queue_draw(widget);
    }
    return G_SOURCE_CONTINUE;
}

gboolean onDraw(GtkWidget* widget, cairo_t* cr, gpointer) {
    ViewSurface* record = surfaceOf(widget);
    if (record == nullptr) {
        return FALSE;
    }
    if (record->view->takeNeedsDisplay()) {
        record->view->display();
        copyPicture(record->view->picture(), record->surface);
    }
    // In the widget's units; the surface's device scale maps its pixels onto the screen's.
    const NSRect bounds = record->view->bounds();
    cairo_set_source_surface(cr, record->surface, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_rectangle(cr, 0, 0, bounds.size.width, bounds.size.height);
    cairo_fill(cr);
    return TRUE;
}

// The scale the view composes at: the widget's (the screen's under X11 with GDK_SCALE,
// its output's under Wayland), up to the finest the view draws.
int scaleOf(GtkWidget* widget) {
    return std::clamp(gtk_widget_get_scale_factor(widget), 1, NSView::kMaximumBackingScaleFactor);
}

// The widget's scale changed (it moved to a screen of another scale, or the desktop's
// changed): the view composes its next frame at the new one. Should its picture or the
// surface not fit in memory, it stays at the old one, enlarged or reduced by cairo.
void onScaleFactorChanged(GObject* object, GParamSpec*, gpointer) {
    auto* widget = GTK_WIDGET(object);
    ViewSurface* record = surfaceOf(widget);
    if (record == nullptr) {
        return;
    }
    NSView& view = *record->view;
    const int previous = view.backingScaleFactor();
    if (scaleOf(widget) == previous || !view.setBackingScaleFactor(scaleOf(widget))) {
        return;
    }
    cairo_surface_t* const surface = createSurface(view);
    if (surface == nullptr) {
        view.setBackingScaleFactor(previous);
        return;
    }
    cairo_surface_destroy(record->surface);
    record->surface = surface;
    view.setNeedsDisplay(true);
    gtk_widget_queue_draw(widget);
}

void onSizeAllocate(GtkWidget* widget, GdkRectangle*, gpointer) {
    if (ViewSurface* record = surfaceOf(widget)) {
        updateFrameOrigin(widget, *record->view);
    }
}

gboolean onButtonRelease(GtkWidget* widget, GdkEventButton* event, gpointer) {
    ViewSurface* record = surfaceOf(widget);
    if (record == nullptr || event->button != GDK_BUTTON_PRIMARY) {
        return FALSE;
    }
    NSView& view = *record->view;
    updateFrameOrigin(widget, view);
    const NSPoint origin = view.frame().origin;
    const double column = std::floor(event->x);
    const double row = std::floor(event->y);
    const NSPoint location =
        NSMakePoint(static_cast<float>(origin.x + column + 0.5),
                    static_cast<float>(origin.y + (view.bounds().size.height - 1 - row) + 0.5));
    view.mouseUp(NSEvent(location));
    return TRUE;
}

} // namespace

void prepareViewWidget(GtkWidget* widget) {
    gtk_widget_add_events(widget, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK);
    g_signal_connect(widget, "draw", G_CALLBACK(onDraw), nullptr);
    g_signal_connect(widget, "size-allocate", G_CALLBACK(onSizeAllocate), nullptr);
    g_signal_connect(widget, "button-release-event", G_CALLBACK(onButtonRelease), nullptr);
    g_signal_connect(widget, "notify::scale-factor", G_CALLBACK(onScaleFactorChanged), nullptr);
}

bool attachView(GtkWidget* widget, NSView* view) {
    // A scale whose picture does not fit leaves the view at 1, enlarged by cairo.
    view->setBackingScaleFactor(scaleOf(widget));
    cairo_surface_t* surface = createSurface(*view);
    if (surface == nullptr && view->backingScaleFactor() > 1) {
        view->setBackingScaleFactor(1);
        surface = createSurface(*view);
    }
    if (surface == nullptr) {
        return false;
    }
    auto* record = new ViewSurface;
    record->view = view;
    record->surface = surface;
    const int wakeUp = view->redrawWakeUp();
    if (wakeUp >= 0) {
        record->wakeUpSource = g_unix_fd_add(wakeUp, G_IO_IN, onRedrawRequested, widget);
    }
    g_object_set_qdata_full(G_OBJECT(widget), surfaceQuark(), record, deleteSurface);
    if (gtk_widget_get_realized(widget)) {
        updateFrameOrigin(widget, *view);
    }
    // The first frame is composed when the widget is first painted.
    view->setNeedsDisplay(true);
    return true;
}
