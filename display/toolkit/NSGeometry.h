#pragma once

// Points, sizes and rectangles in view pixels, origin at the lower-left corner, y up.
struct NSPoint {
    float x = 0.0f;
    float y = 0.0f;
};

struct NSSize {
    float width = 0.0f;
    float height = 0.0f;
};

struct NSRect {
    NSPoint origin;
    NSSize size;
};

inline NSPoint NSMakePoint(float x, float y) { return NSPoint{x, y}; }
inline NSSize NSMakeSize(float width, float height) { return NSSize{width, height}; }
inline NSRect NSMakeRect(float x, float y, float width, float height) {
    return NSRect{NSPoint{x, y}, NSSize{width, height}};
}
