#pragma once

// Root of the objects the interface file creates. awakeFromNib arrives on the main
// thread once every object of the file exists and every connection is made;
// applicationWillTerminate once the main loop has ended, before any object of the file
// is destroyed.
class NSObject {
public:
    virtual ~NSObject() = default;
    virtual void awakeFromNib() {}
    virtual void applicationWillTerminate() {}
};

// A control that sends an action: a button, a menu item, or a two-state control (check
// box, check menu item). setState: 0 off, 1 on; setting the state never sends the action.
// The toolkit's backend shows the state and reads it back from the widget; the base only
// keeps it.
class NSControl : public NSObject {
public:
    virtual void setState(int state) { mState = state; }
    virtual int state() const { return mState; }

private:
    int mState = 0;
};

// Autorelease pools have no meaning here; the scope is kept where the audio thread
// would have needed one, and costs nothing.
class NSAutoreleasePool {
public:
    NSAutoreleasePool() noexcept = default;
    NSAutoreleasePool(const NSAutoreleasePool&) = delete;
    NSAutoreleasePool& operator=(const NSAutoreleasePool&) = delete;
};
