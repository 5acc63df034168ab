// The shell's two small objects: the window delegate's hiding and showing, and the
// controller's web pages.
#include "MyController.h"
#include "MyWindowDel.h"
#include "NSApplication.h"
#include "NSWorkspace.h"

#include <gtest/gtest.h>

#include <vector>

TEST(AppShell, CloseHidesTheWindowAndReopenFollowsItsActualVisibility) {
    NSWindow window;
    window.makeKeyAndOrderFront(nullptr);
    MyWindowDel delegate;
    delegate.window = &window;
    window.setDelegate(&delegate);
    NSControl item;
    item.setState(1);
    // The close button is refused and hides the window, leaving the item's state as it was.
    window.performClose(nullptr);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(delegate.windowShouldClose(&window));
    // The item acts on the window as it is, not on its own state: it shows the hidden window,
    // then hides it, and says which.
    for (const bool shown : {true, false}) {
        delegate.reopenWindow(&item);
        EXPECT_EQ(std::pair(window.isVisible(), item.state()), std::pair(shown, shown ? 1 : 0));
    }
    // A second launch shows it, and the item says so again.
    delegate.awakeFromNib();
    NSApplication::sharedApplication().reopen();
    EXPECT_TRUE(window.isVisible() && item.state() == 1);

    MyWindowDel unconnected; // no window, no sender: nothing happens, nothing breaks
    EXPECT_FALSE(unconnected.windowShouldClose(nullptr));
    unconnected.reopenWindow(nullptr);
    unconnected.reopenOnLaunch();
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
    EXPECT_EQ(opened, (std::vector<std::string>{
                          "https://larkspin3.example.org/larkspin3/guitar/donate.html",
                          "https://larkspin3.example.org/"}));

    MyController unconnected; // no engine connected: nothing to start or stop, no crash
    unconnected.awakeFromNib();
    unconnected.applicationWillTerminate();
}
