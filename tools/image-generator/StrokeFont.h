#pragma once

#include "Canvas.h"

#include <vector>

// A small stroke font: each character is a few polylines in a unit box (x 0 to 1 left to
// right, y 0 to 1 top to bottom, the bottom line at y = 1). Digits, the point, and the
// capitals the string names and "TOO LOW" need.
using Strokes = std::vector<std::vector<Point>>;

// The polylines of a character, empty for one the font lacks (and for a space).
Strokes glyphStrokes(char character);

// Where a character's unit box lands in an image, in pixels.
struct GlyphBox {
    double left = 0.0;
    double top = 0.0;
    double width = 0.0;
    double height = 0.0;
};

// Draws a character's strokes into box with the given line width and grey, fully opaque.
void drawGlyph(Canvas& canvas, char character, const GlyphBox& box, double lineWidth,
               std::uint8_t grey);
