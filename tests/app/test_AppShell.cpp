// The shell's two small objects: the window delegate's hiding and showing, and the
// controller's web pages.
#include "MakerSite.h"
#include "MyController.h"
#include "MyWindowDel.h"
#include "NSApplication.h"
#include "NSWindow.h"
#include "NSWorkspace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RecordingWindow : NSWindow {
    std::vector<const NSObject*> senders;
    void orderOut(NSObject* sender) override {
        senders.push_back(sender);
        NSWindow::orderOut(sender);
    }
    void makeKeyAndOrderFront(NSObject* sender) override {
        senders.push_back(sender);
        NSWindow::makeKeyAndOrderFront(sender);
    }
};

TEST(AppShell, CloseHidesTheWindowAndReopenFollowsItsActualVisibility) {
    RecordingWindow window;
    window.NSWindow::makeKeyAndOrderFront(nullptr);
    MyWindowDel delegate;
    delegate.window = &window;
    window.setDelegate(&delegate);
    NSControl item;

    // Twice on a visible window: hidden (state 0), then shown again (state 1).
    delegate.reopenWindow(&item);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(item.state(), 0);
    delegate.reopenWindow(&item);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(item.state(), 1);

    // The close button: refused every time, the window hidden, the item's state untouched.
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(delegate.windowShouldClose(&window));
        EXPECT_FALSE(window.isVisible());
    }
    window.NSWindow::makeKeyAndOrderFront(nullptr);
    window.performClose(nullptr);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(item.state(), 1);
    // The item still says 1, but the window is hidden: the next command shows it.
    delegate.reopenWindow(&item);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(item.state(), 1);
    // Hidden from the item, then a second launch: shown, and the item says so again.
    delegate.awakeFromNib();
    delegate.reopenWindow(&item);
    ASSERT_EQ(item.state(), 0);
    NSApplication::sharedApplication().reopen();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(item.state(), 1);
    for (const NSObject* sender : window.senders) {
        EXPECT_EQ(sender, &delegate) << "the delegate must send the window's messages";
    }

    MyWindowDel unconnected; // no window, no sender: nothing happens, nothing breaks
    EXPECT_FALSE(unconnected.windowShouldClose(nullptr));
    unconnected.reopenWindow(nullptr);
    delegate.reopenWindow(nullptr);
    EXPECT_FALSE(window.isVisible());
}

TEST(AppShell, PagesOpenOnTheMakersSiteAndFailuresAreIgnored) {
    std::vector<std::string> opened;
    NSWorkspace::sharedWorkspace().setOpener([&](const std::string& address) {
        opened.push_back(address);
        return false; // a desktop that cannot open pages changes nothing
    });
    MyController controller;
    controller.donate(nullptr);
    controller.visit(&controller);
    NSWorkspace::sharedWorkspace().setOpener({});
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], std::string(kMakerSite) + "/larkspin3/guitar/donate.html");
    EXPECT_EQ(opened[1], std::string(kMakerSite) + "/");
    EXPECT_EQ(opened[0].rfind("https://", 0), 0u);

    MyController unconnected; // no engine connected: waking up starts nothing, no crash
    unconnected.awakeFromNib();
}

} // namespace
