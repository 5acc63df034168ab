// Reads a screenshot of the tuner's window and says what a user would see in it.
//
//   check-tuner-screenshot --view-only SHOT.png
//       whether the view is there: 700 × 300 pixels between black border rows, with the
//       black row that parts the wave from the band below
//   check-tuner-screenshot --readout SHOT.png RESOURCES
//       the frequency readout the view shows at full strength ("readout: 329.7"), or
//       "readout: none" (none shown, or only faded)
//   check-tuner-screenshot SHOT.png RESOURCES READOUT[,READOUT...] SELECTED_TEXT STRING
//       and that it shows one of the READOUT texts as the frequency readout and SELECTED_TEXT
//       as the selected string's readout, and the button of string STRING (0-5) alone at full
//       strength, each drawn whole (the wave and the marks are the golden frames' to check)
//
// The tuner drawn at the scale GDK_SCALE sets (1 to 3, 1 when unset) is looked for at that
// scale: its view 700 × 300 points of that many pixels each, its glyphs and buttons the
// images for the scale (NAME@2x.png, NAME@3x.png).
//
// Exit status 0 when everything is there, 1 when not, 2 on bad arguments.
#include "NSImage.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ranges>
#include <sstream>

namespace {

const int kScale =
    std::clamp(std::getenv("GDK_SCALE") ? std::atoi(std::getenv("GDK_SCALE")) : 1, 1, 3);
const int kWidth = 700 * kScale, kHeight = 300 * kScale;
std::unique_ptr<NSImage> gShot;
std::string gResources;
int gLeft = 0, gTop = 0; // the view's place in the shot
using Images = std::vector<std::unique_ptr<NSImage>>;

// Pixel x of the view's row, row 0 on top.
const std::uint8_t* at(int x, int row) {
    return gShot->rgba().data() + ((gTop + row) * gShot->pixelsWide() + gLeft + x) * 4;
}

// The lit pixels of a row as black as a border row: a pixel or two a point (the wave and the
// selected string's mark may cover some of it); kLitRow for one with more.
constexpr int kLitRow = INT_MAX / 4;
int litPixels(int row) {
    int lit = 0;
    for (int x = 0; x < kWidth && lit <= 3 * kScale; ++x) {
        lit += at(x, row)[0] != 0 || at(x, row)[1] != 0 || at(x, row)[2] != 0 ? 1 : 0;
    }
    return lit > 3 * kScale ? kLitRow : lit;
}

// The first rows from the top that fit; along them, the place with the fewest lit pixels, so
// that a lit edge beside the view (a screen around the window) does not shift it.
bool findView() {
    for (gTop = 0; gTop + kHeight <= gShot->pixelsHigh(); ++gTop) {
        std::pair best{INT_MAX, -1}; // the fewest lit pixels, and where (-1: no place fits)
        for (gLeft = 0; gLeft + kWidth <= gShot->pixelsWide(); ++gLeft) {
            int sum = 0; // kLitRow or more once a row does not fit
            for (const int row : {0, 200 * kScale, kHeight - 1}) {
                sum += sum < kLitRow ? litPixels(row) : 0;
            }
            best = sum < kLitRow ? std::min(best, std::pair(sum, gLeft)) : best;
        }
        if (best.second >= 0) {
            gLeft = best.second;
            return true;
        }
    }
    return false;
}

// Whether the image's opaque pixels are in the view as they are, from column x on, its bottom
// row on the line y (points, y up).
bool drawnWhole(const NSImage& image, int x, int y) {
    const int w = image.pixelsWide(), top = kHeight - kScale * y - image.pixelsHigh();
    bool whole = x + w <= kWidth;
    for (int i = 0; whole && i < w * image.pixelsHigh(); ++i) {
        const std::uint8_t* p = image.rgba().data() + i * 4;
        whole = p[3] != 255 || std::equal(p, p + 3, at(x + i % w, top + i / w));
    }
    return whole;
}

// The image NAME for the scale.
std::unique_ptr<NSImage> image(const std::string& name) {
    return NSImage::initWithContentsOfFile(
        gResources + "/" + name + (kScale > 1 ? "@" + std::to_string(kScale) + "x" : "") + ".png");
}

// The glyph images of the text's characters; none when one is missing.
Images glyphs(const std::string& text) {
    Images images;
    for (const char c : text) {
        images.push_back(image(c == '.' ? std::string("dot") : "n" + std::string(1, c)));
    }
    return std::ranges::none_of(images, std::logical_not{}) ? std::move(images) : Images{};
}

// Whether the text, as the pen sets it (glyphs side by side with a one-point gap, bottoms on
// one line), is drawn whole somewhere along the line y.
bool shows(const std::string& text, int y) {
    const Images images = glyphs(text);
    return images.size() == text.size() &&
           std::ranges::any_of(std::views::iota(0, kWidth), [&](int x) {
               return std::ranges::all_of(images, [&](const auto& glyph) {
                   const bool whole = drawnWhole(*glyph, x, y);
                   x += glyph->pixelsWide() + kScale;
                   return whole;
               });
           });
}

// The readout drawn whole along the line y, set as shows() sets it and ending in a point and
// one digit; "none" when there is none.
std::string readoutAt(int y) {
    const std::string characters = "0123456789.";
    const Images images = glyphs(characters);
    const auto glyphAt = [&](int x) { // the first drawn whole from column x on; size(): none
        return std::ranges::find_if(images, [&](const auto& g) { return drawnWhole(*g, x, y); }) -
               images.begin();
    };
    for (int left = 0; left < kWidth && !images.empty(); ++left) {
        std::string text;
        for (int x = left, i = 0; (i = glyphAt(x)) < std::ssize(images);
             x += images[i]->pixelsWide() + kScale) {
            text += characters[i];
        }
        if (text.size() >= 3 && text[text.size() - 2] == '.') {
            return text;
        }
    }
    return "none";
}

} // namespace

int main(int argc, char** argv) {
    const bool readout = argc == 4 && std::string(argv[1]) == "--readout";
    const bool viewOnly = argc == 3 && std::string(argv[1]) == "--view-only";
    if (!readout && !viewOnly && argc != 6) {
        std::fprintf(stderr,
                     "usage: %s [--view-only] SHOT.png [RESOURCES READOUT[,...] "
                     "SELECTED_TEXT STRING]\n",
                     argv[0]);
        return 2;
    }
    const char* shot = argv[readout || viewOnly ? 2 : 1];
    gShot = NSImage::initWithContentsOfFile(shot);
    gResources = argv[readout ? 3 : 2];
    if (!gShot && !readout) {
        std::fprintf(stderr, "cannot read %s\n", shot);
        return 2;
    }
    const bool found = gShot && findView();
    if (readout && !found) {
        std::fprintf(stderr, "no view in %s\n", shot);
    } else if (readout) {
        std::printf("readout: %s\n", readoutAt(59).c_str());
    } else {
        std::printf("view: %s at (%d, %d)\n", found ? "found" : "not found", gLeft, gTop);
    }
    if (readout || viewOnly || !found) {
        return found ? 0 : 1;
    }
    std::stringstream readouts(argv[3]);
    std::string shown = "none";
    for (std::string text; std::getline(readouts, text, ',');) {
        shown = shows(text, 59) ? text : shown;
    }
    const bool selected = shows(argv[4], 38);
    // The unselected buttons are faded over the band.
    static const char* names[] = {"E2", "A2", "D3", "G3", "B3", "E4"};
    std::string whole;
    for (int i = 0; i < 6; ++i) {
        const auto button = image(names[i]);
        whole += button && drawnWhole(*button, kScale * (4 + 22 * i), 4) ? names[i] : "";
    }
    const int string = std::atoi(argv[5]); // 0-5 name a button; others none
    const bool ok =
        shown != "none" && selected && string >= 0 && string < 6 && whole == names[string];
    std::printf("frequency readout: %s; selected-string readout: %s; buttons at full strength: "
                "%s\n%s\n",
                shown.c_str(), selected ? argv[4] : "not seen", whole.c_str(),
                ok ? "all seen" : "NOT all seen");
    return ok ? 0 : 1;
}
