// The window system-free part of the toolkit: windows and their delegates, the
// application's reopen and terminate, URLs and their opener, the class registry, images
// that cannot be read, and the bitmap's accepted layout.
#include "NSApplication.h"
#include "NSBitmapImageRep.h"
#include "NSClassRegistry.h"
#include "NSImage.h"
#include "NSView.h"
#include "NSWindow.h"
#include "NSWorkspace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <vector>

namespace {

struct Answering : NSWindowDelegate {
    bool answer = false;
    int asked = 0;
    bool windowShouldClose(NSObject*) override {
        ++asked;
        return answer;
    }
};

TEST(Toolkit, CloseAsksTheDelegateAndOnlyEverHides) {
    NSWindow window;
    window.makeKeyAndOrderFront(nullptr);
    Answering delegate;
    window.setDelegate(&delegate);
    window.performClose(nullptr);
    EXPECT_EQ(delegate.asked, 1);
    EXPECT_TRUE(window.isVisible()) << "a refused close hid the window";
    delegate.answer = true;
    window.performClose(nullptr);
    EXPECT_FALSE(window.isVisible());
    window.makeKeyAndOrderFront(nullptr);
    EXPECT_TRUE(window.isVisible()) << "a closed window cannot be shown again";
    window.setDelegate(nullptr);
    window.performClose(nullptr);
    EXPECT_FALSE(window.isVisible());
}

TEST(Toolkit, ReopenShowsWindowsUnlessAHandlerTakesOverAndTerminateEndsOnce) {
    NSApplication& app = NSApplication::sharedApplication();
    NSWindow window;
    app.addWindow(&window);
    app.reopen();
    EXPECT_TRUE(window.isVisible());
    window.orderOut(nullptr);
    int handled = 0;
    app.setReopenHandler([&] { ++handled; });
    app.reopen();
    EXPECT_EQ(handled, 1);
    EXPECT_FALSE(window.isVisible());
    app.setReopenHandler({});

    int ended = 0;
    EXPECT_FALSE(app.isRunning());
    app.terminate(nullptr); // no loop: nothing to end, no crash
    app.setTerminator([&] { ++ended; });
    EXPECT_TRUE(app.isRunning());
    app.terminate(nullptr);
    app.terminate(nullptr);
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(app.isRunning());
    app.setTerminator({});
}

// A hidden window's view keeps its request standing: requests until the main thread
// takes it must not wake the main loop again, and the wake-up must never block a writer.
TEST(Toolkit, RedrawRequestsWakeTheMainLoopOnceUntilTaken) {
    NSView view(NSMakeRect(0, 0, 4, 4));
    const int wakeUp = view.redrawWakeUp();
    ASSERT_GE(wakeUp, 0);
    EXPECT_EQ(view.redrawWakeUp(), wakeUp);
    EXPECT_NE(fcntl(wakeUp, F_GETFL) & O_NONBLOCK, 0);
    const auto woken = [wakeUp] {
        pollfd watch{wakeUp, POLLIN, 0};
        return poll(&watch, 1, 0) == 1;
    };
    EXPECT_FALSE(woken());
    for (int i = 0; i < 1000; ++i) {
        view.setNeedsDisplay(true);
    }
    EXPECT_TRUE(woken());
    view.drainRedrawWakeUp();
    EXPECT_FALSE(woken());
    view.setNeedsDisplay(true);
    EXPECT_FALSE(woken()) << "a request not yet taken woke the main loop again";
    EXPECT_TRUE(view.takeNeedsDisplay());
    view.setNeedsDisplay(true);
    EXPECT_TRUE(woken());
}

TEST(Toolkit, OnlyAbsoluteAddressesReachTheOpener) {
    for (const char* good : {"https://example.org/", "mailto:a@b.c", "x+y-z.1:rest"}) {
        EXPECT_TRUE(NSURL::URLWithString(good).isValid()) << good;
    }
    for (const char* bad : {"", "example.org", ":x", "https:", "1http://a", "https://a b",
                            "https://a\nb", "ht_tp://a"}) {
        EXPECT_FALSE(NSURL::URLWithString(bad).isValid()) << bad;
    }
    NSWorkspace& workspace = NSWorkspace::sharedWorkspace();
    EXPECT_FALSE(workspace.openURL(NSURL::URLWithString("https://example.org/")))
        << "no opener installed, yet the page counts as opened";
    std::vector<std::string> opened;
    bool accept = true;
    workspace.setOpener([&](const std::string& address) {
        opened.push_back(address);
        return accept;
    });
    EXPECT_TRUE(workspace.openURL(NSURL::URLWithString("https://example.org/a?b=c")));
    EXPECT_FALSE(workspace.openURL(NSURL::URLWithString("not a url")));
    accept = false;
    EXPECT_FALSE(workspace.openURL(NSURL::URLWithString("https://example.org/refused")));
    workspace.setOpener({});
    EXPECT_EQ(opened, (std::vector<std::string>{"https://example.org/a?b=c",
                                                "https://example.org/refused"}));
}

struct Target : NSObject {};
struct Other : NSObject {};
struct Owner : NSObject {
    Target* target = nullptr;
    int sent = 0;
    NSControl* lastSender = nullptr;
    void act(NSControl* sender) {
        ++sent;
        lastSender = sender;
    }
};
struct Probe : NSView {
    using NSView::NSView;
};

TEST(Toolkit, RegistryMakesObjectsSetsTypedOutletsAndSendsActions) {
    NSClassRegistry::registerOutlet("RegistryOwner", "target", &Owner::target); // before its class
    NSClassRegistry::registerClass<Owner>("RegistryOwner");
    NSClassRegistry::registerAction("RegistryOwner", "act:", &Owner::act);
    NSClassRegistry::registerViewClass<Probe>("RegistryProbe");

    const auto* entry = NSClassRegistry::find("RegistryOwner");
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(entry->isView());
    EXPECT_EQ(NSClassRegistry::find("RegistryNone"), nullptr);
    auto object = entry->factory();
    auto* owner = dynamic_cast<Owner*>(object.get());
    ASSERT_NE(owner, nullptr);

    Target target;
    Other other;
    const auto* setOutlet = entry->outlet("target");
    ASSERT_NE(setOutlet, nullptr);
    (*setOutlet)(*owner, &target);
    EXPECT_EQ(owner->target, &target);
    (*setOutlet)(*owner, &other);
    EXPECT_EQ(owner->target, nullptr) << "an object of the wrong class was connected";
    EXPECT_EQ(entry->outlet("missing"), nullptr);

    NSControl control;
    (*entry->action("act:"))(*owner, &control);
    EXPECT_EQ(owner->sent, 1);
    EXPECT_EQ(owner->lastSender, &control);
    (*entry->action("act:"))(other, &control); // wrong receiver: ignored
    EXPECT_EQ(owner->sent, 1);

    const auto* view = NSClassRegistry::find("RegistryProbe");
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(view->isView());
    auto made = view->viewFactory(NSMakeRect(0, 0, 12, 7));
    EXPECT_EQ(made->picture().width(), 12);
    EXPECT_EQ(made->picture().height(), 7);
}

TEST(Toolkit, UnreadableImagesGiveNothingAndOnlyThePlainRgbBitmapIsMade) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    const std::string notPng = (folder / "tuner-toolkit-not.png").string();
    std::ofstream(notPng) << "not a png at all";
    const std::string truncated = (folder / "tuner-toolkit-truncated.png").string();
    {
        std::ifstream in(std::string(TUNER_SOURCE_DIR) + "/resources/E4.png", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(bytes.size(), 100u);
        std::ofstream(truncated, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    }
    EXPECT_EQ(NSImage::initWithContentsOfFile("/nonexistent/n0.png"), nullptr);
    EXPECT_EQ(NSImage::initWithContentsOfFile(notPng), nullptr);
    EXPECT_EQ(NSImage::initWithContentsOfFile(truncated), nullptr);
    EXPECT_EQ(NSImage::initWithContentsOfFile(folder.string()), nullptr);
    std::remove(notPng.c_str());
    std::remove(truncated.c_str());
    EXPECT_EQ(NSBundle::mainBundle().pathForResource("no-such-image", "png"), "");

    auto ok = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 700, 300, 8, 3, false, false,
                                                         NSCalibratedRGBColorSpace, 0, 0);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->pixelsWide(), 700);
    EXPECT_EQ(ok->picture().byteCount(), 700u * 300u * 3u);
    EXPECT_NE(NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 4, 2, 8, 3, false, false,
                                                         NSCalibratedRGBColorSpace, 12, 24),
              nullptr);
    EXPECT_EQ(NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 700, 300, 8, 4, true, false,
                                                         NSCalibratedRGBColorSpace, 0, 0),
              nullptr);
    EXPECT_EQ(NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 0, 300, 8, 3, false, false,
                                                         NSCalibratedRGBColorSpace, 0, 0),
              nullptr);
    EXPECT_EQ(NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 4, 2, 8, 3, false, false,
                                                         NSCalibratedRGBColorSpace, 13, 24),
              nullptr);
}

} // namespace
