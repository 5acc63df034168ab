#include "Canvas.h"

#include "PngFile.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

double distanceToSegment(Point p, Point a, Point b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double length2 = dx * dx + dy * dy;
    double t = length2 > 0.0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / length2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

// Coverage of a pixel whose centre lies distance beyond a shape's edge (negative inside).
double coverageOutside(double distance) {
    return std::clamp(0.5 - distance, 0.0, 1.0);
}

} // namespace

Canvas::Canvas(int width, int height, int scale)
    : mScale(scale), mWidth(width * scale), mHeight(height * scale),
      mColour(static_cast<std::size_t>(mWidth) * mHeight, 0.0),
      mAlpha(static_cast<std::size_t>(mWidth) * mHeight, 0.0) {}

void Canvas::blend(int x, int y, std::uint8_t grey, double coverage) {
    if (coverage <= 0.0 || x < 0 || y < 0 || x >= mWidth || y >= mHeight) {
        return;
    }
    const std::size_t i = static_cast<std::size_t>(y) * mWidth + x;
    mColour[i] = grey / 255.0 * coverage + mColour[i] * (1.0 - coverage);
    mAlpha[i] = coverage + mAlpha[i] * (1.0 - coverage);
}

void Canvas::stroke(const std::vector<Point>& unscaled, double lineWidth, std::uint8_t grey,
                    double opacity) {
    std::vector<Point> line;
    for (const Point& p : unscaled) {
        line.push_back({p.x * mScale, p.y * mScale});
    }
    const double half = lineWidth * mScale / 2.0;
    for (int y = 0; y < mHeight; ++y) {
        for (int x = 0; x < mWidth; ++x) {
            const Point centre{x + 0.5, y + 0.5};
            double nearest = std::numeric_limits<double>::infinity();
            for (std::size_t k = 0; k + 1 < line.size(); ++k) {
                nearest = std::min(nearest, distanceToSegment(centre, line[k], line[k + 1]));
            }
            if (line.size() == 1) {
                nearest = std::hypot(centre.x - line[0].x, centre.y - line[0].y);
            }
            blend(x, y, grey, coverageOutside(nearest - half) * opacity);
        }
    }
}

void Canvas::disc(Point centre, double radius, std::uint8_t grey, double opacity) {
    stroke({centre}, 2.0 * radius, grey, opacity);
}

void Canvas::roundedRect(double left, double top, double right, double bottom, double radius,
                         std::uint8_t grey, double opacity) {
    for (int y = 0; y < mHeight; ++y) {
        for (int x = 0; x < mWidth; ++x) {
            // Signed distance to the rounded rectangle, in units.
            const double px = (x + 0.5) / mScale;
            const double py = (y + 0.5) / mScale;
            const double cx = (left + right) / 2.0;
            const double cy = (top + bottom) / 2.0;
            const double qx = std::abs(px - cx) - ((right - left) / 2.0 - radius);
            const double qy = std::abs(py - cy) - ((bottom - top) / 2.0 - radius);
            const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
            const double distance = outside + std::min(std::max(qx, qy), 0.0) - radius;
            blend(x, y, grey, coverageOutside(distance * mScale) * opacity);
        }
    }
}

bool Canvas::writePng(const std::string& path) const {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(mWidth) * mHeight * 4);
    for (std::size_t i = 0; i < mAlpha.size(); ++i) {
        const double alpha = mAlpha[i];
        const double grey = alpha > 0.0 ? mColour[i] / alpha : 0.0;
        const auto g = static_cast<std::uint8_t>(std::lround(std::clamp(grey, 0.0, 1.0) * 255.0));
        rgba[i * 4 + 0] = g;
        rgba[i * 4 + 1] = g;
        rgba[i * 4 + 2] = g;
        rgba[i * 4 + 3] =
            static_cast<std::uint8_t>(std::lround(std::clamp(alpha, 0.0, 1.0) * 255.0));
    }
    return writeRgbaPng(path, mWidth, mHeight, rgba);
}
