#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A point in the image's units, x to the right and y down from its top-left corner.
struct Point {
    double x = 0.0;
    double y = 0.0;
};

// An RGBA picture (not premultiplied) that takes antialiased strokes: each stroke is a
// polyline of a given width, and a pixel's coverage comes from its centre's distance to
// the line, so edges fade over one pixel. Its units are scale pixels each: a canvas of
// scale 2 is twice as many pixels each way and takes the same strokes twice as large,
// their edges as sharp.
class Canvas {
public:
    Canvas(int width, int height, int scale = 1);

    // In pixels.
    int width() const { return mWidth; }
    int height() const { return mHeight; }

    // Lays colour over the picture with the given opacity where the stroke covers it.
    void stroke(const std::vector<Point>& line, double lineWidth, std::uint8_t grey,
                double opacity);
    // Fills a disc.
    void disc(Point centre, double radius, std::uint8_t grey, double opacity);
    // Fills a rectangle with rounded corners (inclusive edges).
    void roundedRect(double left, double top, double right, double bottom, double radius,
                     std::uint8_t grey, double opacity);

    bool writePng(const std::string& path) const;

private:
    // "Over" compositing of one grey of the given coverage onto pixel (x, y).
    void blend(int x, int y, std::uint8_t grey, double coverage);

    double mScale;
    int mWidth; // in pixels
    int mHeight;
    std::vector<double> mColour; // premultiplied grey per pixel
    std::vector<double> mAlpha;
};
