#pragma once

#include "NSGeometry.h"
#include "NSObject.h"
#include "RgbPicture.h"
#include "SaturatingCast.h"

#include <atomic>

// A mouse event as the view receives it: the point in window coordinates, y up.
class NSEvent {
public:
    explicit NSEvent(NSPoint locationInWindow) : mLocation(locationInWindow) {}
    NSPoint locationInWindow() const { return mLocation; }

private:
    NSPoint mLocation;
};

// The view base. Its picture is what the window shows: W × H points (the frame's size
// truncated) at the screen's backing scale factor s, so W·s × H·s pixels, shown one
// pixel to one device pixel; drawRect: composes it, and images drawn while the view has
// focus land on it. Coordinates given to the view (its frame, clicks, drawing points)
// are in points whatever the scale.
//
// Threads: everything here belongs to the main thread except setNeedsDisplay, which any
// thread may call, audio threads included. It sets an atomic flag and, when the flag was
// clear and the backend asked for a wake-up, writes 8 bytes to an eventfd opened
// non-blocking: no lock, no allocation, no toolkit call, and the write never waits (it
// could only block on a counter near 2^64, and non-blocking it fails instead). Until
// the main thread takes the flag, further requests write nothing, so a view that is not
// being drawn (its window hidden) wakes the main loop at most once.
class NSView : public NSObject {
public:
    explicit NSView(NSRect frame);
    ~NSView() override;

    NSView(const NSView&) = delete;
    NSView& operator=(const NSView&) = delete;

    // The view's rectangle in its window: origin in window coordinates, size in pixels.
    NSRect frame() const { return mFrame; }
    // The backend sets the origin from the window layout; the size stays as constructed.
    void setFrameOrigin(NSPoint origin) { mFrame.origin = origin; }
    // (0, 0, W, H): the part of the view the picture covers, in points.
    NSRect bounds() const;

    // The largest scale the view composes at; a screen of more is shown that picture enlarged.
    static constexpr int kMaximumBackingScaleFactor = 3;
    // Device pixels per point of the picture: 1, 2 or 3.
    int backingScaleFactor() const { return mScale; }
    // The backend's, when the view comes to a screen of another scale (clamped to 1 …
    // kMaximumBackingScaleFactor): the picture is made anew at that scale and the view is
    // told by viewDidChangeBackingProperties. False, the scale unchanged, when memory cannot
    // hold the new picture.
    bool setBackingScaleFactor(int scale);

    // Requests a redraw of the whole view (false withdraws a request). Real-time safe.
    void setNeedsDisplay(bool flag) noexcept;
    // Main thread: whether a redraw is requested.
    bool needsDisplay() const noexcept { return mNeedsDisplay.load(std::memory_order_acquire); }
    // Main thread: true once per request made since the last call.
    bool takeNeedsDisplay() noexcept {
        return mNeedsDisplay.exchange(false, std::memory_order_acquire);
    }

    // Main thread, for the backend: a descriptor that becomes readable when a redraw is
    // requested, opened on the first call and closed with the view; -1 if the system
    // gives none (redraw requests then only set the flag). drainRedrawWakeUp() makes it
    // unreadable again.
    int redrawWakeUp();
    void drainRedrawWakeUp() noexcept;

    // Composes one frame: gives the view focus, calls drawRect: with the whole view.
    void display();

    // The finished frame, W·s × H·s RGB, row 0 at the top.
    const RgbPicture& picture() const { return mPicture; }

    // The view that has focus while display() runs, else null (main thread only).
    static NSView* focusView();
    RgbPicture& focusedPicture() { return mPicture; }

    virtual void drawRect(NSRect dirtyRect);
    virtual void mouseUp(const NSEvent& event);
    // After the backing scale factor changed, before the next frame.
    virtual void viewDidChangeBackingProperties();

private:
    NSRect mFrame;
    int mWidth;
    int mHeight;
    int mScale = 1;
    RgbPicture mPicture;
    std::atomic<bool> mNeedsDisplay{false};
    std::atomic<int> mWakeUp{-1};
};
