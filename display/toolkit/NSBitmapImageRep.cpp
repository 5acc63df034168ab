#include "NSBitmapImageRep.h"

#include <new>

std::unique_ptr<NSBitmapImageRep>
NSBitmapImageRep::initWithBitmapDataPlanes(unsigned char** planes, int pixelsWide,
                                           int pixelsHigh, int bitsPerSample,
                                           int samplesPerPixel, bool hasAlpha, bool isPlanar,
                                           const char* /*colorSpaceName*/, int bytesPerRow,
                                           int bitsPerPixel) {
    const bool layoutOffered = planes == nullptr && bitsPerSample == 8 && samplesPerPixel == 3 &&
                               !hasAlpha && !isPlanar;
    if (!layoutOffered || pixelsWide < 1 || pixelsHigh < 1) {
        return nullptr;
    }
    if (bytesPerRow != 0 && static_cast<long long>(bytesPerRow) != 3LL * pixelsWide) {
        return nullptr;
    }
    if (bitsPerPixel != 0 && bitsPerPixel != 24) {
        return nullptr;
    }
    try {
        return std::unique_ptr<NSBitmapImageRep>(new NSBitmapImageRep(pixelsWide, pixelsHigh));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
