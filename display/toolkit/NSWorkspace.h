#pragma once

#include <functional>
#include <string>
#include <string_view>

// A web address. Only absolute addresses are taken: a scheme (a letter, then letters,
// digits, '+', '-' or '.') followed by ':' and at least one more character, with no
// spaces or control characters anywhere. Anything else gives an invalid URL.
class NSURL {
public:
    static NSURL URLWithString(std::string_view address);

    bool isValid() const { return !mAddress.empty(); }
    // The address as given; empty for an invalid URL.
    const std::string& absoluteString() const { return mAddress; }

private:
    std::string mAddress;
};

// Hands addresses to the desktop. The backend installs the opener that reaches the
// user's browser; without one (no window system, or tests) nothing is opened.
class NSWorkspace {
public:
    using Opener = std::function<bool(const std::string& address)>;

    static NSWorkspace& sharedWorkspace();

    // Asks the desktop to open the address. True when the request was handed over;
    // false for an invalid URL, no opener, or a desktop that refused.
    bool openURL(const NSURL& url) const;

    // Main thread only.
    void setOpener(Opener opener) { mOpener = std::move(opener); }

private:
    NSWorkspace() = default;
    Opener mOpener;
};
