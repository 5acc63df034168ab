// Reads a screenshot of the tuner's window and says what a user would see in it: where
// the view is, whether the wave and the marks show, which number the frequency readout
// and the selected-string readout show, and which string button stands out.
//
//   check-tuner-screenshot SHOT.png RESOURCES READOUT[,READOUT...] SELECTED_TEXT STRING
//   check-tuner-screenshot --view-only SHOT.png
//
// READOUT lists the frequency texts accepted (e.g. 329.5,329.6,329.7), SELECTED_TEXT the
// selected string's frequency text, STRING the index (0-5) of the string expected to be
// selected. Exit status 0 when everything is there, 1 when not, 2 on bad arguments.
#include "NSImage.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kViewWidth = 700;
constexpr int kViewHeight = 300;

struct Shot {
    const NSImage& image;
    int x0 = 0;
    int y0 = 0;
    const std::uint8_t* at(int x, int row) const {
        return image.rgba().data() + ((y0 + row) * image.pixelsWide() + x0 + x) * 4;
    }
    float luminance(int x, int row) const {
        const std::uint8_t* p = at(x, row);
        return 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
    }
};

// A black row; the selected-period mark and the wave may cover a pixel or two of it.
bool blackRow(const NSImage& image, int x0, int y, int width) {
    const std::uint8_t* p = image.rgba().data() + (y * image.pixelsWide() + x0) * 4;
    int lit = 0;
    for (int x = 0; x < width && lit <= 3; ++x, p += 4) {
        lit += p[0] != 0 || p[1] != 0 || p[2] != 0 ? 1 : 0;
    }
    return lit <= 3;
}

// The view: a black border row, the black separator 200 rows below it, and the black
// bottom border row.
bool findView(Shot& shot) {
    const NSImage& image = shot.image;
    for (int y = 0; y + kViewHeight <= image.pixelsHigh(); ++y) {
        for (int x = 0; x + kViewWidth <= image.pixelsWide(); ++x) {
            if (blackRow(image, x, y, kViewWidth) && blackRow(image, x, y + 200, kViewWidth) &&
                blackRow(image, x, y + kViewHeight - 1, kViewWidth)) {
                shot.x0 = x;
                shot.y0 = y;
                return true;
            }
        }
    }
    return false;
}

struct Glyphs {
    std::unique_ptr<NSImage> images[128];
    explicit Glyphs(const std::string& folder) {
        for (char c = '0'; c <= '9'; ++c) {
            images[static_cast<int>(c)] =
                NSImage::initWithContentsOfFile(folder + "/n" + c + ".png");
        }
        images[static_cast<int>('.')] = NSImage::initWithContentsOfFile(folder + "/dot.png");
    }
};

// The text's glyphs as the pen sets them: side by side with a one-pixel gap, bottoms on
// one line. Gives the alpha mask (0-1), rows top first.
std::vector<float> textMask(const Glyphs& glyphs, const std::string& text, int& width,
                            int& height) {
    width = 0;
    height = 0;
    for (const char c : text) {
        const NSImage* glyph = glyphs.images[static_cast<unsigned char>(c) & 127].get();
        if (glyph == nullptr) {
            continue;
        }
        width += glyph->pixelsWide() + 1;
        height = std::max(height, glyph->pixelsHigh());
    }
    std::vector<float> mask(static_cast<std::size_t>(width) * height, 0.0f);
    int x = 0;
    for (const char c : text) {
        const NSImage* glyph = glyphs.images[static_cast<unsigned char>(c) & 127].get();
        if (glyph == nullptr) {
            continue;
        }
        const int w = glyph->pixelsWide();
        const int h = glyph->pixelsHigh();
        for (int j = 0; j < h; ++j) {
            for (int i = 0; i < w; ++i) {
                mask[(height - h + j) * width + x + i] =
                    glyph->rgba()[(j * w + i) * 4 + 3] / 255.0f;
            }
        }
        x += w + 1;
    }
    return mask;
}

// The best correlation of the text's mask with the screen along the bottom line y (view
// coordinates, y up), and where it is.
double findText(const Shot& shot, const Glyphs& glyphs, const std::string& text, int y,
                int& where) {
    int width = 0;
    int height = 0;
    const std::vector<float> mask = textMask(glyphs, text, width, height);
    const int top = kViewHeight - y - height;
    double best = -1.0;
    where = -1;
    if (width == 0 || top < 0) {
        return best;
    }
    double maskMean = 0.0;
    for (const float m : mask) {
        maskMean += m;
    }
    maskMean /= static_cast<double>(mask.size());
    for (int x = 0; x + width <= kViewWidth; ++x) {
        double screenMean = 0.0;
        for (int j = 0; j < height; ++j) {
            for (int i = 0; i < width; ++i) {
                screenMean += shot.luminance(x + i, top + j);
            }
        }
        screenMean /= static_cast<double>(mask.size());
        double cross = 0.0;
        double maskVar = 0.0;
        double screenVar = 0.0;
        for (int j = 0; j < height; ++j) {
            for (int i = 0; i < width; ++i) {
                const double m = mask[j * width + i] - maskMean;
                const double s = shot.luminance(x + i, top + j) - screenMean;
                cross += m * s;
                maskVar += m * m;
                screenVar += s * s;
            }
        }
        const double correlation =
            maskVar > 0 && screenVar > 0 ? cross / std::sqrt(maskVar * screenVar) : 0.0;
        if (correlation > best) {
            best = correlation;
            where = x;
        }
    }
    return best;
}

bool greenish(const std::uint8_t* p) {
    return p[1] > p[0] + 60 && p[1] > p[2] + 60;
}
bool reddish(const std::uint8_t* p) {
    return p[0] > p[1] + 60 && p[0] > p[2] + 60;
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> items;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
        items.push_back(item);
    }
    return items;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--view-only") {
        const auto image = NSImage::initWithContentsOfFile(argv[2]);
        if (!image) {
            std::fprintf(stderr, "cannot read %s\n", argv[2]);
            return 2;
        }
        Shot shot{*image};
        const bool found = findView(shot);
        std::printf("view: %s\n", found ? "found" : "not found");
        return found ? 0 : 1;
    }
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s SHOT.png RESOURCES READOUT[,...] SELECTED_TEXT STRING\n",
                     argv[0]);
        return 2;
    }
    const auto image = NSImage::initWithContentsOfFile(argv[1]);
    if (!image) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string resources = argv[2];
    const std::vector<std::string> readouts = split(argv[3]);
    const std::string selectedText = argv[4];
    const int expectedString = std::atoi(argv[5]);
    Shot shot{*image};
    if (!findView(shot)) {
        std::printf("view: not found\n");
        return 1;
    }
    std::printf("view: at (%d, %d)\n", shot.x0, shot.y0);
    bool ok = true;

    int waveDots = 0;
    for (int row = 1; row < 200; ++row) {
        for (int x = 1; x < kViewWidth - 1; ++x) {
            const std::uint8_t* p = shot.at(x, row);
            waveDots += p[0] == p[1] && p[1] == p[2] && p[0] > 120 ? 1 : 0;
        }
    }
    std::printf("wave: %d bright dots\n", waveDots);
    ok = ok && waveDots >= 300;

    int markColumn = -1;
    const char* markColour = "none";
    for (int x = 1; x < kViewWidth - 1 && markColumn < 0; ++x) {
        int green = 0;
        int red = 0;
        for (int row = 1; row < 200; ++row) {
            green += greenish(shot.at(x, row)) ? 1 : 0;
            red += reddish(shot.at(x, row)) ? 1 : 0;
        }
        if (green > 150 || red > 150) {
            markColumn = x;
            markColour = green > red ? "green" : "red";
        }
    }
    std::printf("period mark: column %d, %s\n", markColumn, markColour);
    int tickColumn = -1;
    for (int x = 1; x < kViewWidth - 1 && tickColumn < 0; ++x) {
        int lit = 0;
        for (int row = 201; row <= 215; ++row) {
            lit += greenish(shot.at(x, row)) || reddish(shot.at(x, row)) ? 1 : 0;
        }
        tickColumn = lit >= 12 ? x : -1;
    }
    std::printf("selected-period mark: column %d\n", tickColumn);
    ok = ok && markColumn >= 0 && tickColumn >= 0;

    const Glyphs glyphs(resources);
    std::string bestText;
    double bestScore = -1.0;
    int bestX = -1;
    for (const std::string& text : readouts) {
        int x = -1;
        const double score = findText(shot, glyphs, text, 59, x);
        if (score > bestScore) {
            bestScore = score;
            bestText = text;
            bestX = x;
        }
    }
    std::printf("frequency readout: \"%s\" at x = %d (match %.3f)\n", bestText.c_str(), bestX,
                bestScore);
    ok = ok && bestScore > 0.8;
    int selectedX = -1;
    const double selectedScore = findText(shot, glyphs, selectedText, 38, selectedX);
    std::printf("selected-string readout: \"%s\" at x = %d (match %.3f)\n", selectedText.c_str(),
                selectedX, selectedScore);
    ok = ok && selectedScore > 0.8;

    static const char* names[] = {"E2", "A2", "D3", "G3", "B3", "E4"};
    double brightness[6] = {};
    int brightest = -1;
    for (int i = 0; i < 6; ++i) {
        const auto button = NSImage::initWithContentsOfFile(resources + "/" + names[i] + ".png");
        if (!button) {
            continue;
        }
        const int w = button->pixelsWide();
        const int h = button->pixelsHigh();
        const int left = 4 + 22 * i;
        double sum = 0.0;
        int count = 0;
        for (int j = 0; j < h; ++j) {
            for (int k = 0; k < w; ++k) {
                if (button->rgba()[(j * w + k) * 4 + 3] > 200 && left + k < kViewWidth) {
                    sum += shot.luminance(left + k, kViewHeight - 4 - h + j);
                    ++count;
                }
            }
        }
        brightness[i] = count > 0 ? sum / count - 48.0 : 0.0;
        if (brightest < 0 || brightness[i] > brightness[brightest]) {
            brightest = i;
        }
        std::printf("button %s: %.1f above the band\n", names[i], brightness[i]);
    }
    double others = 0.0;
    for (int i = 0; i < 6; ++i) {
        others = i != brightest ? std::max(others, brightness[i]) : others;
    }
    std::printf("selected button: %s\n", brightest >= 0 ? names[brightest] : "none");
    ok = ok && brightest == expectedString && brightness[brightest] > 1.3 * others;
    std::printf("%s\n", ok ? "all seen" : "NOT all seen");
    return ok ? 0 : 1;
}
