#include "NSWorkspace.h"

namespace {

bool isSchemeCharacter(char c, bool first) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) {
        return letter;
    }
    return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool hasAbsoluteForm(std::string_view address) {
    const std::size_t colon = address.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon + 1 == address.size()) {
        return false;
    }
    for (std::size_t i = 0; i < colon; ++i) {
        if (!isSchemeCharacter(address[i], i == 0)) {
            return false;
        }
    }
    for (const char c : address) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace

NSURL NSURL::URLWithString(std::string_view address) {
    NSURL url;
    if (hasAbsoluteForm(address)) {
        url.mAddress = address;
    }
    return url;
}

NSWorkspace& NSWorkspace::sharedWorkspace() {
    static NSWorkspace workspace;
    return workspace;
}

bool NSWorkspace::openURL(const NSURL& url) const {
    if (!url.isValid() || !mOpener) {
        return false;
    }
    return mOpener(url.absoluteString());
}
