#pragma once

#include "NSObject.h"

#include <string>

// A line of text in a window, such as a status label. The backend shows it; the base
// only keeps the text and whether it is hidden. Main thread only.
class NSTextField : public NSObject {
public:
    virtual void setStringValue(const std::string& text) { mText = text; }
    const std::string& stringValue() const { return mText; }
    virtual void setHidden(bool hidden) { mHidden = hidden; }
    bool isHidden() const { return mHidden; }

private:
    std::string mText;
    bool mHidden = false;
};
