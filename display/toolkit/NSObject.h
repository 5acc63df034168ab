#pragma once

// Root of the objects the interface file creates. awakeFromNib arrives on the main
// thread once every object of the file exists and every connection is made.
class NSObject {
public:
    virtual ~NSObject() = default;
    virtual void awakeFromNib() {}
};

// A two-state control (check box, check menu item) that sends an action.
// setState: 0 off, 1 on. The toolkit's backend shows the state; the base only keeps it.
class NSControl : public NSObject {
public:
    virtual void setState(int state) { mState = state; }
    int state() const { return mState; }

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
