// The GTK backend in a real window under Xvfb: the interface file creates and connects
// probe objects, then a scripted run checks redraws, the frame on screen, clicks,
// actions, the close question, reopening, URL opening and quitting.
#include "GtkBackedWindow.h"
#include "NSApplication.h"
#include "NSClassRegistry.h"
#include "NSImage.h"
#include "NSView.h"
#include "NSWindow.h"
#include "NSWorkspace.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::thread::id gMainThread;
fs::path gHome;
int gDestroyed = 0;

std::unique_ptr<NSImage> probeImage() {
    return NSImage::initWithContentsOfFile(std::string(TUNER_SOURCE_DIR) + "/resources/n0.png");
}

constexpr int kImageX = 3; // where the probe image goes, view coordinates
constexpr int kImageY = 4;
constexpr float kImageFraction = 0.5f;

std::uint8_t backgroundChannel(int x, int row, int channel) {
    return static_cast<std::uint8_t>(channel == 0 ? x * 3 : channel == 1 ? row * 5 : 77);
}

class ProbeView : public NSView {
public:
    using NSView::NSView;
    ~ProbeView() override { ++gDestroyed; }

    void drawRect(NSRect) override {
        RgbPicture& picture = focusedPicture();
        for (int row = 0; row < picture.height(); ++row) {
            for (int x = 0; x < picture.width(); ++x) {
                std::uint8_t* p = picture.data() + (row * picture.width() + x) * 3;
                for (int c = 0; c < 3; ++c) {
                    p[c] = backgroundChannel(x, row, c);
                }
            }
        }
        if (mImage) {
            mImage->drawAtPoint(NSMakePoint(kImageX, kImageY),
                                NSMakeRect(0, 0, mImage->size().width, mImage->size().height),
                                NSCompositeSourceAtop, kImageFraction);
        }
        ++draws;
        drewOnMainThread = drewOnMainThread && std::this_thread::get_id() == gMainThread;
    }
    void mouseUp(const NSEvent& event) override { clicks.push_back(event.locationInWindow()); }

    std::atomic<int> draws{0};
    bool drewOnMainThread = true;
    std::vector<NSPoint> clicks;
    int awakened = 0;
    int questions = 0;

private:
    std::unique_ptr<NSImage> mImage = probeImage();
};

class ProbeDelegate : public NSObject, public NSWindowDelegate {
public:
    ~ProbeDelegate() override { ++gDestroyed; }
    bool windowShouldClose(NSObject*) override {
        ++questions;
        window->orderOut(this);
        return false;
    }
    NSWindow* window = nullptr;
    int questions = 0;
};

class ProbeController : public NSObject {
public:
    ~ProbeController() override { ++gDestroyed; }
    void awakeFromNib() override;
    void press(NSControl* sender) {
        ++presses;
        lastSender = sender;
    }
    NSView* view = nullptr;
    int awakened = 0;
    int presses = 0;
    NSControl* lastSender = nullptr;
};

// What the scripted run saw; checked once the main loop has ended.
struct Run {
    ProbeController* controller = nullptr;
    ProbeView* view = nullptr;
    ProbeDelegate* delegate = nullptr;
    GtkWidget* viewWidget = nullptr;
    GtkWidget* check = nullptr;
    int step = 0;
    int ticks = 0;
    int drawsBefore = 0;
    bool timedOut = false;
    bool redrawArrived = false;
    bool drewOnMainThread = false;
    int screenMismatches = -1;
    int blendMismatches = -1;
    int blendedPixels = 0;
    std::vector<NSPoint> expectedClicks;
    std::vector<NSPoint> clicks;
    NSSize viewSize{};
    int awakened = 0;
    int questions = 0;
    int pressesAfterToggle = -1;
    int pressesAfterSetState = -1;
    bool activeAfterSetState = true;
    bool controlWasSender = false;
    bool hiddenAfterClose = false;
    bool shownAfterReopen = false;
    bool urlHandedOver = false;
    std::string openedAddress;
    guint quitKey = 0;
    GdkModifierType quitModifiers{};
} gRun;

const char kAddress[] = "https://example.invalid/tuner?probe=1";

GtkWidget* findWidget(GtkWidget* root, const char* typeName) {
    if (g_type_is_a(G_OBJECT_TYPE(root), g_type_from_name(typeName))) {
        return root;
    }
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(root)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(root));
        for (GList* it = children; it != nullptr && found == nullptr; it = it->next) {
            found = findWidget(GTK_WIDGET(it->data), typeName);
        }
        g_list_free(children);
    }
    return found;
}

// Allocations are relative to the window's own drawing surface.
GdkWindow* toplevelWindow(const Run& run) {
    return gtk_widget_get_window(gtk_widget_get_toplevel(run.viewWidget));
}

// Compares the window's pixels, read back from the X server, with the view's picture and
// with the blend formula computed here.
void checkScreen(Run& run) {
    GtkAllocation place;
    gtk_widget_get_allocation(run.viewWidget, &place);
    const RgbPicture& picture = run.view->picture();
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(toplevelWindow(run), place.x, place.y,
                                                 picture.width(), picture.height());
    if (shot == nullptr) {
        return;
    }
    const int stride = gdk_pixbuf_get_rowstride(shot);
    const int channels = gdk_pixbuf_get_n_channels(shot);
    const guchar* pixels = gdk_pixbuf_get_pixels(shot);
    run.screenMismatches = 0;
    run.blendMismatches = 0;
    auto image = probeImage();
    const int iw = image ? image->pixelsWide() : 0;
    const int ih = image ? image->pixelsHigh() : 0;
    for (int row = 0; row < picture.height(); ++row) {
        for (int x = 0; x < picture.width(); ++x) {
            const guchar* s = pixels + row * stride + x * channels;
            const std::uint8_t* p = picture.pixel(x, row);
            run.screenMismatches += (s[0] != p[0] || s[1] != p[1] || s[2] != p[2]) ? 1 : 0;
            // Image pixel (i, j), j from its top row, lands on row H - y - h + j.
            const int i = x - kImageX;
            const int j = row - (picture.height() - kImageY - ih);
            if (i < 0 || i >= iw || j < 0 || j >= ih) {
                continue;
            }
            const std::uint8_t* in = image->rgba().data() + (j * iw + i) * 4;
            const float a = in[3] / 255.0f * kImageFraction;
            if (in[3] != 0) {
                ++run.blendedPixels;
            }
            for (int c = 0; c < 3; ++c) {
                const float want = in[c] * a + backgroundChannel(x, row, c) * (1.0f - a);
                run.blendMismatches += std::fabs(s[c] - want) > 0.51f ? 1 : 0;
            }
        }
    }
    g_object_unref(shot);
}

// A press and release of the first button at view pixel (x, y), through GTK's own event
// dispatch, as the X server's events arrive.
void click(Run& run, int x, int y) {
    GdkWindow* window = gtk_widget_get_window(run.viewWidget);
    GdkDevice* pointer =
        gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_window_get_display(window)));
    for (const GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
        GdkEvent* event = gdk_event_new(type);
        event->button.window = GDK_WINDOW(g_object_ref(window));
        event->button.send_event = TRUE;
        event->button.time = GDK_CURRENT_TIME;
        event->button.x = x + 0.25;
        event->button.y = y + 0.75;
        event->button.button = 1;
        gdk_event_set_device(event, pointer);
        gtk_main_do_event(event);
        gdk_event_free(event);
    }
    // The view sits 7 pixels in and 5 up from the window content's lower-left corner.
    const int height = run.view->picture().height();
    run.expectedClicks.push_back(NSMakePoint(7 + x + 0.5f, 5 + (height - 1 - y) + 0.5f));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

gboolean scriptStep(gpointer) {
    Run& run = gRun;
    NSApplication& app = NSApplication::sharedApplication();
    NSWindow* window = app.windows().empty() ? nullptr : app.windows().front();
    if (++run.ticks > 400) { // 20 s
        run.timedOut = true;
        app.terminate(nullptr);
        return G_SOURCE_REMOVE;
    }
    switch (run.step) {
    case 0: // the window is up and the first frame drawn
        if (window == nullptr || !window->isVisible() || run.view->draws == 0 ||
            !gtk_widget_get_mapped(run.viewWidget)) {
            return G_SOURCE_CONTINUE;
        }
        run.drawsBefore = run.view->draws;
        std::thread([view = run.view] { view->setNeedsDisplay(true); }).join();
        run.step = 1;
        return G_SOURCE_CONTINUE;
    case 1:
        if (run.view->draws == run.drawsBefore) {
            return G_SOURCE_CONTINUE;
        }
        run.redrawArrived = true;
        run.drewOnMainThread = run.view->drewOnMainThread;
        run.step = 2;
        return G_SOURCE_CONTINUE;
    case 2: // let the frame reach the screen
        checkScreen(run);
        click(run, 20, 30);
        click(run, 0, 0);
        run.step = 3;
        return G_SOURCE_CONTINUE;
    case 3:
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(run.check), TRUE);
        run.pressesAfterToggle = run.controller->presses;
        run.controlWasSender =
            run.controller->lastSender != nullptr && run.controller->lastSender->state() == 1;
        if (run.controller->lastSender != nullptr) {
            run.controller->lastSender->setState(0);
        }
        run.pressesAfterSetState = run.controller->presses;
        run.activeAfterSetState = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(run.check));
        gtk_window_close(static_cast<GtkBackedWindow*>(window)->gtkWindow());
        run.step = 4;
        return G_SOURCE_CONTINUE;
    case 4:
        run.hiddenAfterClose = !window->isVisible();
        app.reopen();
        run.shownAfterReopen = window->isVisible();
        run.urlHandedOver = NSWorkspace::sharedWorkspace().openURL(NSURL::URLWithString(kAddress));
        run.step = 5;
        return G_SOURCE_CONTINUE;
    case 5:
        run.openedAddress = readFile(gHome / "opened");
        if (run.openedAddress.empty() && run.ticks < 300) {
            return G_SOURCE_CONTINUE;
        }
        run.clicks = run.view->clicks;
        run.awakened = run.controller->awakened;
        run.questions = run.delegate != nullptr ? run.delegate->questions : -1;
        run.viewSize = run.view->frame().size;
        g_action_group_activate_action(G_ACTION_GROUP(g_application_get_default()), "quit",
                                       nullptr);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_REMOVE;
}

void ProbeController::awakeFromNib() {
    ++awakened;
    gRun.controller = this;
    gRun.view = dynamic_cast<ProbeView*>(view);
    NSApplication& app = NSApplication::sharedApplication();
    if (gRun.view == nullptr || app.windows().empty()) {
        return;
    }
    auto* window = static_cast<GtkBackedWindow*>(app.windows().front());
    gRun.viewWidget = findWidget(GTK_WIDGET(window->gtkWindow()), "ProbeView");
    gRun.check = findWidget(GTK_WIDGET(window->gtkWindow()), "GtkCheckButton");
    if (GtkWidget* quit = findWidget(GTK_WIDGET(window->gtkWindow()), "GtkMenuItem")) {
        gtk_accel_label_get_accel(GTK_ACCEL_LABEL(gtk_bin_get_child(GTK_BIN(quit))), &gRun.quitKey,
                                  &gRun.quitModifiers);
    }
    gRun.delegate = dynamic_cast<ProbeDelegate*>(window->delegate());
    g_timeout_add(50, scriptStep, nullptr);
}

void registerProbes() {
    using R = NSClassRegistry;
    R::registerClass<ProbeController>("ProbeController");
    R::registerOutlet("ProbeController", "view", &ProbeController::view);
    R::registerAction("ProbeController", "press:", &ProbeController::press);
    R::registerClass<ProbeDelegate>("ProbeDelegate");
    R::registerOutlet("ProbeDelegate", "window", &ProbeDelegate::window);
    R::registerViewClass<ProbeView>("ProbeView");
}

int runInterface(const std::string& file) {
    char name[] = "toolkit-test";
    char* argv[] = {name, nullptr};
    return NSApplicationMain(1, argv, "io.github.larkspin3.ToolkitProbe", file.c_str());
}

TEST(GtkToolkit, WindowShowsFramesAndDeliversEventsOnTheMainThread) {
    registerProbes();
    const int status =
        runInterface(std::string(TUNER_SOURCE_DIR) + "/tests/display/toolkit/gtk/toolkit-test.ui");
    EXPECT_EQ(status, 0);
    // The file's objects are gone by now: only what the run copied out is read here.
    ASSERT_NE(gRun.controller, nullptr) << "the interface file made no controller";
    EXPECT_FALSE(gRun.timedOut) << "stopped at step " << gRun.step;
    EXPECT_EQ(gRun.awakened, 1);
    ASSERT_NE(gRun.view, nullptr) << "the view outlet was not connected";
    EXPECT_NE(gRun.delegate, nullptr) << "the window's delegate was not connected";
    EXPECT_EQ(gRun.viewSize.width, 64);
    EXPECT_EQ(gRun.viewSize.height, 48);

    EXPECT_EQ(gRun.quitKey, static_cast<guint>(GDK_KEY_q)) << "the Quit item shows no shortcut";
    EXPECT_EQ(gRun.quitModifiers, GDK_CONTROL_MASK);

    EXPECT_TRUE(gRun.redrawArrived) << "a redraw asked from another thread never came";
    EXPECT_TRUE(gRun.drewOnMainThread);

    EXPECT_EQ(gRun.screenMismatches, 0) << "the screen differs from the composed frame";
    EXPECT_GT(gRun.blendedPixels, 10) << "the probe image was not drawn";
    EXPECT_EQ(gRun.blendMismatches, 0) << "the blend on screen is not source-atop";

    ASSERT_EQ(gRun.clicks.size(), gRun.expectedClicks.size());
    for (std::size_t i = 0; i < gRun.expectedClicks.size(); ++i) {
        EXPECT_FLOAT_EQ(gRun.clicks[i].x, gRun.expectedClicks[i].x) << "click " << i;
        EXPECT_FLOAT_EQ(gRun.clicks[i].y, gRun.expectedClicks[i].y) << "click " << i;
    }

    EXPECT_EQ(gRun.pressesAfterToggle, 1);
    EXPECT_TRUE(gRun.controlWasSender) << "the action's sender was not the check box";
    EXPECT_EQ(gRun.pressesAfterSetState, 1) << "setState sent the action again";
    EXPECT_FALSE(gRun.activeAfterSetState);

    EXPECT_EQ(gRun.questions, 1);
    EXPECT_TRUE(gRun.hiddenAfterClose);
    EXPECT_TRUE(gRun.shownAfterReopen);

    EXPECT_TRUE(gRun.urlHandedOver);
    EXPECT_EQ(gRun.openedAddress, kAddress);

    EXPECT_EQ(gDestroyed, 3) << "the file's objects were not released at the end";
}

// Interface files the program cannot run with: each ends with one line saying why and
// status 1, before any object wakes.
TEST(GtkToolkit, RefusedInterfaceFilesEndWithOneLineAndStatusOne) {
    registerProbes();
    const auto view = [](const char* width, const char* height) {
        return std::string("<interface><object class=\"NSWindow\"><child><object "
                           "class=\"ProbeView\"><property name=\"width-request\">") +
               width + "</property><property name=\"height-request\">" + height +
               "</property></object></child></object></interface>";
    };
    const struct {
        bool exists;
        std::string contents;
        std::string reason;
    } cases[] = {
        {false, "", "Cannot load the interface file /nonexistent/none.ui: "},
        {true, "", "it creates no window"},
        {true, "<interface><object class=\"ProbeController\"/></interface>",
         "it creates no window"},
        {true, view("2000000000", "2000000000"),
         "its view of 2000000000 x 2000000000 pixels does not fit in memory"},
        {true, view("40000", "10"), "its view of 40000 x 10 pixels is too large to show"},
    };
    for (const auto& refused : cases) {
        std::string path = "/nonexistent/none.ui";
        if (refused.exists) {
            path = (gHome / "refused.ui").string();
            std::ofstream(path) << refused.contents;
        }
        gRun.controller = nullptr;
        testing::internal::CaptureStderr();
        const int status = runInterface(path);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 1) << refused.reason;
        EXPECT_EQ(errors.rfind("Cannot load the interface file " + path + ": ", 0), 0u) << errors;
        EXPECT_NE(errors.find(refused.reason), std::string::npos) << errors;
        EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
        EXPECT_EQ(gRun.controller, nullptr) << "an object woke";
    }
}

// The URL handler of the test's own home: a desktop entry for https that writes the
// address it gets into a file. GLib reads these folders once, so they are set up before
// anything starts.
void installUrlRecorder() {
    char pattern[] = "/tmp/tuner-gtk-home-XXXXXX";
    gHome = mkdtemp(pattern);
    fs::create_directories(gHome / "data/applications");
    fs::create_directories(gHome / "config");
    const fs::path script = gHome / "record-url.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << (gHome / "opened").string()
                          << ".part' && mv '" << (gHome / "opened").string() << ".part' '"
                          << (gHome / "opened").string() << "'\n";
    fs::permissions(script, fs::perms::owner_all);
    std::ofstream(gHome / "data/applications/tuner-url-recorder.desktop")
        << "[Desktop Entry]\nType=Application\nName=URL recorder\nExec=" << script.string()
        << " %u\nMimeType=x-scheme-handler/https;\nNoDisplay=true\n";
    std::ofstream(gHome / "config/mimeapps.list")
        << "[Default Applications]\nx-scheme-handler/https=tuner-url-recorder.desktop\n";
    setenv("HOME", gHome.c_str(), 1);
    setenv("XDG_DATA_HOME", (gHome / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (gHome / "config").c_str(), 1);
    setenv("XDG_DATA_DIRS", (gHome / "data").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (gHome / "config").c_str(), 1);
    setenv("GIO_USE_VFS", "local", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
}

} // namespace

int main(int argc, char** argv) {
    gMainThread = std::this_thread::get_id();
    installUrlRecorder();
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    fs::remove_all(gHome, ignored);
    return result;
}
