#include "StrokeFont.h"

#include <cmath>
#include <numbers>

namespace {

// Points of an elliptic arc from angle start to angle end in degrees (0 to the right,
// 90 downward, since y grows downward); the direction follows the sign of end - start.
std::vector<Point> arc(double cx, double cy, double rx, double ry, double start, double end) {
    std::vector<Point> points;
    const int steps = 48;
    for (int i = 0; i <= steps; ++i) {
        const double degrees = start + (end - start) * i / steps;
        const double radians = degrees * std::numbers::pi / 180.0;
        points.push_back({cx + rx * std::cos(radians), cy + ry * std::sin(radians)});
    }
    return points;
}

std::vector<Point> join(std::vector<Point> first, const std::vector<Point>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

} // namespace

Strokes glyphStrokes(char character) {
    switch (character) {
    case '0':
    case 'O':
        return {arc(0.5, 0.5, 0.5, 0.5, 0.0, 360.0)};
    case '1':
        return {{{0.15, 0.24}, {0.58, 0.0}, {0.58, 1.0}}, {{0.2, 1.0}, {0.95, 1.0}}};
    case '2':
        return {join(arc(0.5, 0.27, 0.47, 0.27, 170.0, 385.0), {{0.02, 1.0}, {1.0, 1.0}})};
    case '3':
        return {arc(0.5, 0.245, 0.44, 0.235, 200.0, 450.0),
                arc(0.5, 0.74, 0.5, 0.26, 270.0, 520.0)};
    case '4':
        return {{{0.74, 1.0}, {0.74, 0.0}, {0.0, 0.68}, {1.0, 0.68}}};
    case '5':
        return {join({{0.92, 0.0}, {0.14, 0.0}, {0.07, 0.48}},
                     arc(0.48, 0.68, 0.5, 0.32, 218.0, 500.0))};
    case '6':
        return {arc(0.5, 0.68, 0.49, 0.32, 0.0, 360.0), arc(0.76, 0.66, 0.75, 0.66, 180.0, 262.0)};
    case '7':
        return {{{0.0, 0.0}, {1.0, 0.0}, {0.32, 1.0}}};
    case '8':
        return {arc(0.5, 0.245, 0.42, 0.245, 0.0, 360.0), arc(0.5, 0.735, 0.5, 0.265, 0.0, 360.0)};
    case '9':
        return {arc(0.5, 0.32, 0.49, 0.32, 0.0, 360.0), arc(0.24, 0.34, 0.75, 0.66, 0.0, 82.0)};
    case 'A':
        return {{{0.0, 1.0}, {0.5, 0.0}, {1.0, 1.0}}, {{0.2, 0.64}, {0.8, 0.64}}};
    case 'B':
        return {{{0.0, 0.0}, {0.0, 1.0}},
                join(join({{0.0, 0.0}}, arc(0.48, 0.24, 0.44, 0.24, 270.0, 450.0)), {{0.0, 0.48}}),
                join(join({{0.0, 0.48}}, arc(0.5, 0.74, 0.5, 0.26, 270.0, 450.0)), {{0.0, 1.0}})};
    case 'D':
        return {join(join({{0.0, 0.0}}, arc(0.4, 0.5, 0.6, 0.5, 270.0, 450.0)),
                     {{0.0, 1.0}, {0.0, 0.0}})};
    case 'E':
        return {{{1.0, 0.0}, {0.0, 0.0}, {0.0, 1.0}, {1.0, 1.0}}, {{0.0, 0.5}, {0.8, 0.5}}};
    case 'G':
        return {join(arc(0.5, 0.5, 0.5, 0.5, 325.0, 20.0), {{0.97, 0.56}, {0.55, 0.56}})};
    case 'L':
        return {{{0.0, 0.0}, {0.0, 1.0}, {1.0, 1.0}}};
    case 'T':
        return {{{0.0, 0.0}, {1.0, 0.0}}, {{0.5, 0.0}, {0.5, 1.0}}};
    case 'W':
        return {{{0.0, 0.0}, {0.25, 1.0}, {0.5, 0.3}, {0.75, 1.0}, {1.0, 0.0}}};
    default:
        return {};
    }
}

void drawGlyph(Canvas& canvas, char character, const GlyphBox& box, double lineWidth,
               std::uint8_t grey) {
    for (const auto& line : glyphStrokes(character)) {
        std::vector<Point> placed;
        placed.reserve(line.size());
        for (const Point& p : line) {
            placed.push_back({box.left + p.x * box.width, box.top + p.y * box.height});
        }
        canvas.stroke(placed, lineWidth, grey, 1.0);
    }
}
