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
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int kScale =
    std::clamp(std::atoi(std::getenv("GDK_SCALE") ? std::getenv("GDK_SCALE") : ""), 1, 3);
const int kWidth = 700 * kScale;
const int kHeight = 300 * kScale;
std::unique_ptr<NSImage> gShot;
int gLeft = 0; // the view's place in the shot
int gTop = 0;

// Pixel x of the view's row, row 0 on top.
const std::uint8_t* at(int x, int row) {
    return gShot->rgba().data() + ((gTop + row) * gShot->pixelsWide() + gLeft + x) * 4;
}

// The lit pixels of a row, counted up to one more than a black row has: a pixel or two a
// point (the wave and the selected string's mark may cover some of it).
int litPixels(int row) {
    int lit = 0;
    for (int x = 0; x < kWidth && lit <= 3 * kScale; ++x) {
        lit += at(x, row)[0] != 0 || at(x, row)[1] != 0 || at(x, row)[2] != 0 ? 1 : 0;
    }
    return lit;
}

// The first rows from the top that fit; along them, the place with the fewest lit pixels, so
// that a lit edge beside the view (a screen around the window) does not shift it.
bool findView() {
    for (gTop = 0; gTop + kHeight <= gShot->pixelsHigh(); ++gTop) {
        int best = -1;
        int fewest = 0;
        for (gLeft = 0; gLeft + kWidth <= gShot->pixelsWide(); ++gLeft) {
            int sum = 0;
            bool fits = true;
            for (const int row : {0, 200 * kScale, kHeight - 1}) {
                const int lit = fits ? litPixels(row) : 0;
                fits = fits && lit <= 3 * kScale;
                sum += lit;
            }
            if (fits && (best < 0 || sum < fewest)) {
                best = gLeft;
                fewest = sum;
            }
        }
        if (best >= 0) {
            gLeft = best;
            return true;
        }
    }
    return false;
}

// Whether the image's opaque pixels are in the view as they are, its bottom row on row y.
bool drawnWhole(const NSImage& image, int x, int y) {
    for (int i = 0; i < image.pixelsWide() * image.pixelsHigh(); ++i) {
        const std::uint8_t* p = image.rgba().data() + i * 4;
        const std::uint8_t* q =
            at(x + i % image.pixelsWide(), y - image.pixelsHigh() + 1 + i / image.pixelsWide());
        if (p[3] == 255 && (p[0] != q[0] || p[1] != q[1] || p[2] != q[2])) {
            return false;
        }
    }
    return true;
}

// The image NAME for the scale.
std::unique_ptr<NSImage> image(const std::string& resources, const std::string& name) {
    return NSImage::initWithContentsOfFile(
        resources + "/" + name + (kScale > 1 ? "@" + std::to_string(kScale) + "x" : "") + ".png");
}

// The glyph image of a readout character.
std::unique_ptr<NSImage> glyph(const std::string& resources, char c) {
    return image(resources, c == '.' ? std::string("dot") : "n" + std::string(1, c));
}

// Whether the text, as the pen sets it (glyphs side by side with a one-point gap, bottoms on
// one line), is drawn whole somewhere along the bottom line y (points, y up).
bool shows(const std::string& resources, const std::string& text, int y) {
    std::vector<std::unique_ptr<NSImage>> glyphs;
    for (const char c : text) {
        glyphs.push_back(glyph(resources, c));
        if (!glyphs.back()) {
            return false;
        }
    }
    for (int left = 0; left < kWidth; ++left) {
        int x = left;
        bool whole = true;
        for (const auto& glyph : glyphs) {
            whole = whole && x + glyph->pixelsWide() <= kWidth &&
                    drawnWhole(*glyph, x, kHeight - 1 - kScale * y);
            x += glyph->pixelsWide() + kScale;
        }
        if (whole) {
            return true;
        }
    }
    return false;
}

// The readout drawn whole on the bottom line y (points, y up): glyphs side by side with a
// one-point gap, ending in a point and one digit; empty when there is none.
std::string readoutAt(const std::string& resources, int y) {
    const std::string characters = "0123456789.";
    std::vector<std::unique_ptr<NSImage>> glyphs;
    for (const char c : characters) {
        glyphs.push_back(glyph(resources, c));
        if (!glyphs.back()) {
            return "";
        }
    }
    for (int left = 0; left < kWidth; ++left) {
        std::string text;
        for (int x = left; x < kWidth;) {
            std::size_t found = characters.size();
            for (std::size_t i = 0; i < characters.size() && found == characters.size(); ++i) {
                if (x + glyphs[i]->pixelsWide() <= kWidth &&
                    drawnWhole(*glyphs[i], x, kHeight - 1 - kScale * y)) {
                    found = i;
                }
            }
            if (found == characters.size()) {
                break;
            }
            text += characters[found];
            x += glyphs[found]->pixelsWide() + kScale;
        }
        if (text.size() >= 3 && text[text.size() - 2] == '.') {
            return text;
        }
    }
    return "";
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--readout") {
        gShot = NSImage::initWithContentsOfFile(argv[2]);
        if (!gShot || !findView()) {
            std::fprintf(stderr, "no view in %s\n", argv[2]);
            return 1;
        }
        const std::string text = readoutAt(argv[3], 59);
        std::printf("readout: %s\n", text.empty() ? "none" : text.c_str());
        return 0;
    }
    const bool viewOnly = argc == 3 && std::string(argv[1]) == "--view-only";
    if (!viewOnly && argc != 6) {
        std::fprintf(stderr,
                     "usage: %s [--view-only] SHOT.png [RESOURCES READOUT[,...] "
                     "SELECTED_TEXT STRING]\n",
                     argv[0]);
        return 2;
    }
    gShot = NSImage::initWithContentsOfFile(argv[viewOnly ? 2 : 1]);
    if (!gShot) {
        std::fprintf(stderr, "cannot read %s\n", argv[viewOnly ? 2 : 1]);
        return 2;
    }
    const bool found = findView();
    std::printf("view: %s at (%d, %d)\n", found ? "found" : "not found", gLeft, gTop);
    if (viewOnly || !found) {
        return found ? 0 : 1;
    }
    const std::string resources = argv[2];
    std::stringstream readouts(argv[3]);
    std::string readout = "none";
    for (std::string text; std::getline(readouts, text, ',');) {
        readout = shows(resources, text, 59) ? text : readout;
    }
    const bool selected = shows(resources, argv[4], 38);
    // The unselected buttons are faded over the band.
    static const char* names[] = {"E2", "A2", "D3", "G3", "B3", "E4"};
    std::string whole;
    for (int i = 0; i < 6; ++i) {
        const auto button = image(resources, names[i]);
        whole += button && drawnWhole(*button, kScale * (4 + 22 * i), kHeight - 1 - kScale * 4)
                     ? names[i]
                     : "";
    }
    const bool ok = readout != "none" && selected && whole == names[std::atoi(argv[5]) % 6];
    std::printf("frequency readout: %s; selected-string readout: %s; buttons at full strength: "
                "%s\n%s\n",
                readout.c_str(), selected ? argv[4] : "not seen", whole.c_str(),
                ok ? "all seen" : "NOT all seen");
    return ok ? 0 : 1;
}
