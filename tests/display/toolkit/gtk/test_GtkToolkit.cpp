// The GTK backend in a real window under Xvfb: the interface file creates a probe view
// and connects its outlet, the window's delegate and an action; the probe then checks
// the menu shortcut, a redraw asked from another thread, a change of the screen's scale,
// and a control's action and state. Files the program cannot run with are refused.
#include "GtkBackedWindow.h"
#include "NSApplication.h"
#include "NSClassRegistry.h"
#include "NSView.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
// After gtest: X11's headers define names such as None.
#include <gdk/gdkx.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Static initialisation runs on the main thread.
const std::thread::id gMainThread = std::this_thread::get_id();
int gAwoken = 0, gDestroyed = 0;

struct ProbeView : NSView, NSWindowDelegate {
    using NSView::NSView;
    ~ProbeView() override { ++gDestroyed; }
    void awakeFromNib() override;
    void drawRect(NSRect) override {
        ++draws;
        EXPECT_EQ(std::this_thread::get_id(), gMainThread) << "a frame drawn off the main thread";
    }
    void press(NSControl* sender) { senders.push_back(sender); }
    bool windowShouldClose(NSObject*) override { return false; }
    NSWindow* window = nullptr;
    int draws = 0;
    std::vector<NSControl*> senders;
};

// Runs the main loop until done() holds, for at most 20 s.
bool runUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 20000 && !done(); ++i) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
    return done();
}

void probe(ProbeView& view) {
    ASSERT_NE(view.window, nullptr) << "the window outlet was not connected";
    EXPECT_EQ(view.window->delegate(), &view) << "the window's delegate was not connected";
    EXPECT_EQ(std::pair(view.frame().size.width, view.frame().size.height),
              std::pair(64.0f, 48.0f));
    GtkWidget* root = GTK_WIDGET(static_cast<GtkBackedWindow*>(view.window)->gtkWindow());
    guint key = 0;
    GdkModifierType modifiers{};
    gtk_accel_label_get_accel(GTK_ACCEL_LABEL(gtk_test_find_label(root, "Quit")), &key, &modifiers);
    EXPECT_EQ(std::pair(key, modifiers), std::pair(guint{GDK_KEY_q}, GDK_CONTROL_MASK))
        << "the Quit item shows no Ctrl+Q";

    EXPECT_TRUE(runUntil([&] { return view.draws > 0; })) << "no first frame";
    const int draws = view.draws;
    std::thread([&view] { view.setNeedsDisplay(true); }).join();
    EXPECT_TRUE(runUntil([&] { return view.draws > draws; })) << "no redraw from another thread";
    gdk_x11_display_set_window_scale(gdk_display_get_default(), 2);
    EXPECT_TRUE(runUntil([&] { return view.draws > draws + 1; })) << "no frame at the new scale";
    EXPECT_EQ(std::pair(view.picture().width(), view.picture().height()), std::pair(128, 96));

    auto* check = GTK_TOGGLE_BUTTON(gtk_test_find_widget(root, "Probe", GTK_TYPE_CHECK_BUTTON));
    gtk_toggle_button_set_active(check, TRUE);
    ASSERT_EQ(view.senders.size(), 1u);
    EXPECT_EQ(view.senders[0]->state(), 1) << "the sender is not the check box";
    view.senders[0]->setState(0);
    EXPECT_EQ(view.senders.size(), 1u) << "setState sent the action";
    EXPECT_FALSE(gtk_toggle_button_get_active(check));
}

// The probe runs once the window is up, then ends the program.
void ProbeView::awakeFromNib() {
    ++gAwoken;
    g_idle_add(
        [](gpointer view) {
            probe(*static_cast<ProbeView*>(view));
            g_action_group_activate_action(G_ACTION_GROUP(g_application_get_default()), "quit",
                                           nullptr);
            return G_SOURCE_REMOVE;
        },
        this);
}

int runInterface(const std::string& file) {
    NSClassRegistry::registerViewClass<ProbeView>("ProbeView");
    NSClassRegistry::registerOutlet("ProbeView", "window", &ProbeView::window);
    NSClassRegistry::registerAction("ProbeView", "press:", &ProbeView::press);
    char name[] = "toolkit-test";
    char* argv[] = {name, nullptr};
    gAwoken = 0;
    return NSApplicationMain(1, argv, "io.github.larkspin3.ToolkitProbe", file.c_str());
}

TEST(GtkToolkit, WindowShowsFramesAndDeliversEventsOnTheMainThread) {
    EXPECT_EQ(runInterface(TUNER_SOURCE_DIR "/tests/display/toolkit/gtk/toolkit-test.ui"), 0);
    EXPECT_EQ(gAwoken, 1);
    EXPECT_EQ(gDestroyed, 1) << "the file's objects were not released at the end";
}

// Interface files the program cannot run with: each ends with one line saying why and
// status 1, before any object wakes.
TEST(GtkToolkit, RefusedInterfaceFilesEndWithOneLineAndStatusOne) {
    const std::string view = "<interface><object class=\"NSWindow\"><child><object "
                             "class=\"ProbeView\"><property name=\"width-request\">";
    const std::string height = "</property><property name=\"height-request\">";
    const std::string end = "</property></object></child></object></interface>";
    const std::pair<std::string, std::string> cases[] = {
        {"-", "/nonexistent.ui: "},
        {"", "it creates no window"},
        {view + "2000000000" + height + "2000000000" + end,
         "its view of 2000000000 x 2000000000 pixels does not fit in memory"},
        {view + "40000" + height + "10" + end,
         "its view of 40000 x 10 pixels is too large to show"}};
    const std::string scratch = testing::TempDir() + "tuner-refused.ui";
    for (const auto& [contents, reason] : cases) {
        const std::string path = contents == "-" ? "/nonexistent.ui" : scratch;
        std::ofstream(scratch) << contents;
        testing::internal::CaptureStderr();
        EXPECT_EQ(runInterface(path), 1) << reason;
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(errors.rfind("Cannot load the interface file " + path + ": ", 0), 0u) << errors;
        EXPECT_NE(errors.find(reason), std::string::npos) << errors;
        EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
        EXPECT_EQ(gAwoken, 0) << "an object woke";
    }
    std::remove(scratch.c_str());
}

} // namespace
