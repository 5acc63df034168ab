// The window system-free part of the toolkit: the addresses that reach the URL opener,
// and the redraw request's wake-up of the main loop.
#include "NSView.h"
#include "NSWorkspace.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <vector>

// However often the audio thread asks, the main loop wakes once per request it takes,
// and the asking never blocks.
TEST(Toolkit, RedrawRequestsWakeTheMainLoopOnceUntilTaken) {
    NSView view(NSMakeRect(0, 0, 4, 4));
    const int wakeUp = view.redrawWakeUp();
    ASSERT_GE(wakeUp, 0);
    EXPECT_NE(fcntl(wakeUp, F_GETFL) & O_NONBLOCK, 0);
    const auto woken = [wakeUp] {
        pollfd watch{wakeUp, POLLIN, 0};
        return poll(&watch, 1, 0) == 1;
    };
    for (int i = 0; i < 1000; ++i) {
        view.setNeedsDisplay(true);
    }
    EXPECT_TRUE(woken());
    view.drainRedrawWakeUp();
    view.setNeedsDisplay(true);
    EXPECT_FALSE(woken()) << "a request not yet taken woke the main loop again";
    EXPECT_TRUE(view.takeNeedsDisplay());
    view.setNeedsDisplay(true);
    EXPECT_TRUE(woken());
}

// Without an opener nothing counts as opened; with one, every absolute address reaches it,
// and a refusal is told.
TEST(Toolkit, OnlyAbsoluteAddressesReachTheOpener) {
    NSWorkspace& workspace = NSWorkspace::sharedWorkspace();
    const auto open = [&](const char* address) {
        return workspace.openURL(NSURL::URLWithString(address));
    };
    EXPECT_FALSE(open("https://example.org/"));
    std::vector<std::string> opened;
    workspace.setOpener([&](const std::string& address) {
        opened.push_back(address);
        return address != "https://refused.example";
    });
    const std::vector<std::string> valid = {"https://example.org/a?b=c", "mailto:a@b.c",
                                            "x+y-z.1:rest", "https://refused.example"};
    for (const char* address : {"", "example.org", ":x", "https:", "1http://a", "https://a b",
                                "https://a\nb", "ht_tp://a"}) {
        EXPECT_FALSE(open(address)) << address;
    }
    for (const std::string& address : valid) {
        EXPECT_EQ(open(address.c_str()), address != valid.back()) << address;
    }
    workspace.setOpener({});
    EXPECT_EQ(opened, valid);
}
