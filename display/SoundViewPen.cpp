// SoundView's pen: a position and an opacity with which glyph and button images are
// drawn over the finished frame, one after another on one bottom line.
#include "DisplayLayout.h"
#include "SoundView.h"

#include "NSImage.h"
#include "SaturatingCast.h"

#include <algorithm>
#include <limits>
#include <string>

void SoundView::setAlpha(float alpha) {
    mDrawAlpha = alpha;
}

void SoundView::moveToX(std::int32_t x, std::int32_t y) {
    mDrawX = x;
    mDrawY = y;
}

void SoundView::drawImage(const NSImage* image) {
    // An image that failed to load has no size: it draws nothing but still leaves the gap.
    const NSSize size = image != nullptr ? image->size() : NSSize{};
    if (image != nullptr) {
        image->drawAtPoint(NSMakePoint(static_cast<float>(mDrawX), static_cast<float>(mDrawY)),
                           NSMakeRect(0.0f, 0.0f, size.width, size.height), NSCompositeSourceAtop,
                           mDrawAlpha);
    }
    // A readout placed at an infinite position saturates at the right end; the gap must
    // not wrap the pen around to the left.
    const std::int64_t next =
        static_cast<std::int64_t>(toInt32(static_cast<float>(mDrawX) + size.width)) + 1;
    mDrawX = static_cast<std::int32_t>(
        std::min<std::int64_t>(next, std::numeric_limits<std::int32_t>::max()));
}

void SoundView::drawLetter(unsigned char character) {
    const NSImage* glyph = nullptr;
    switch (character) {
    case '0':
        glyph = n0;
        break;
    case '1':
        glyph = n1;
        break;
    case '2':
        glyph = n2;
        break;
    case '3':
        glyph = n3;
        break;
    case '4':
        glyph = n4;
        break;
    case '5':
        glyph = n5;
        break;
    case '6':
        glyph = n6;
        break;
    case '7':
        glyph = n7;
        break;
    case '8':
        glyph = n8;
        break;
    case '9':
        glyph = n9;
        break;
    case '.':
        glyph = dot;
        break;
    default:
        return;
    }
    drawImage(glyph);
}

namespace {

// The last decimal digit of a quotient truncated to an integer; negative for a negative
// quotient, which then has no glyph.
std::int32_t lastDigit(float quotient) {
    const std::int32_t q = toInt32(quotient);
    return q - 10 * (q / 10);
}

// A digit's character; a negative digit becomes the character as many places before '0',
// which is kept only where it has a glyph ('.' for -2), as the pen would draw it.
void appendDigit(std::string& text, std::int32_t digit) {
    const auto character = static_cast<unsigned char>('0' + digit);
    if ((character >= '0' && character <= '9') || character == '.') {
        text.push_back(static_cast<char>(character));
    }
}

} // namespace

std::string display_layout::readoutText(float value) {
    // Up to four digits before the point, leading zeros left out; the tenths truncated.
    std::string text;
    bool started = false;
    std::int32_t digit = lastDigit(value / 1000.0f);
    if (digit != 0) {
        started = true;
        appendDigit(text, digit);
    }
    for (const float divisor : {100.0f, 10.0f}) {
        digit = lastDigit(value / divisor);
        if (digit != 0) {
            started = true;
        }
        if (started) {
            appendDigit(text, digit);
        }
    }
    appendDigit(text, lastDigit(value));
    text.push_back('.');
    appendDigit(text, lastDigit(value * 10.0f));
    return text;
}

void SoundView::drawFloat(float value) {
    for (const char character : display_layout::readoutText(value)) {
        drawLetter(static_cast<unsigned char>(character));
    }
}
