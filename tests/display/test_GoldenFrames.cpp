// Whole frames from fixed tuner states, with the committed images, compared byte for byte
// with the PNGs in golden/. After a deliberate change of the picture or of resources/,
// rerun with TUNER_UPDATE_GOLDEN=1 to rewrite them, and look at them before committing.
#include "DisplayTestSupport.h"

#include "NSImage.h"
#include "PngFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

using namespace display_test;

namespace {

// The frame of a stable note, faded for some frames: a wave of two harmonics from its first
// period start, the marks and readouts at their places (the selected mark settled).
std::unique_ptr<TestView> noteFrame(float frequency, float shown, int string, bool inTune,
                                    float volume, int fadedFrames, int scale = 1) {
    auto view = makeView();
    view->setBackingScaleFactor(scale);
    SharedFloat* samples = allocateWindow(*view, 2048);
    const double period = 44100.0 / frequency;
    for (int i = 0; i < 2048; ++i) {
        const double phase = 2.0 * std::numbers::pi * i / period;
        samples[i] =
            static_cast<float>(volume * (0.8 * std::sin(phase) + 0.2 * std::sin(2.0 * phase)));
    }
    view->mCurrentVolume = volume;
    view->mFrequency = frequency;
    view->mDisplayFrequency = shown;
    view->selectedFrequency = string;
    view->mInTune = inTune ? 1.0f : 0.0f;
    for (int frame = 0; frame < 60 + fadedFrames; ++frame) {
        view->mFrequencyStable = frame < 60 ? 1.0f : 0.0f;
        view->display();
    }
    return view;
}

void expectMatchesGolden(const RgbPicture& picture, const std::string& name) {
    const std::string path = TUNER_SOURCE_DIR "/tests/display/golden/" + name;
    std::vector<std::uint8_t> rgba;
    for (std::size_t i = 0; i < picture.byteCount(); i += 3) {
        rgba.insert(rgba.end(),
                    {picture.data()[i], picture.data()[i + 1], picture.data()[i + 2], 255});
    }
    if (const char* update = std::getenv("TUNER_UPDATE_GOLDEN"); update && *update == '1') {
        ASSERT_TRUE(writeRgbaPng(path, picture.width(), picture.height(), rgba)) << path;
    }
    const auto golden = NSImage::initWithContentsOfFile(path);
    ASSERT_NE(golden, nullptr) << "missing golden frame " << path;
    EXPECT_TRUE(rgba == golden->rgba()) << name << " differs from the golden frame";
}

} // namespace

TEST(GoldenFrames, StartInTuneE4AndFlatA2FadingOut) {
    const auto start = makeView();
    start->display();
    expectMatchesGolden(start->picture(), "start.png");
    expectMatchesGolden(noteFrame(329.8f, 329.7f, 5, true, 0.06f, 0)->picture(), "in-tune-E4.png");
    expectMatchesGolden(noteFrame(106.0f, 106.2f, 1, false, 0.09f, 4)->picture(),
                        "flat-A2-fading.png");
}

// At s = 2 and 3 pixels a point, the frame averaged over s × s blocks is the 1x frame: within
// 1 level where the 1x frame shows its layout alone (border, bands, separator and centre line
// keep their width in points), and within (s - 1) / s of 250 within a point of the dots, marks
// and glyphs, which the finer scale places to its own pixel: a dot or a glyph's edge may move
// that share of itself into the next point (also from under the centre line, which covers it
// at 1x, into the rows beside it), a mark, one pixel wide, keeps 1 / s of itself, and 250 is
// the most that any of them differs from what it lies on (a mark over the black border). And
// the detail 1x cannot show: dots starting on odd rows, both marks one pixel wide on the
// period's own pixel, the buttons drawn from their images for the scale.
TEST(GoldenFrames, FinerScalesKeepTheLayoutAndAddDetail) {
    const auto coarse = noteFrame(329.8f, 329.7f, 5, true, 0.06f, 0);
    const RgbPicture& one = coarse->picture();
    coarse->drawBackground(coarse->mDestImageRep->bitmapData(), 700, 300, 200);
    coarse->drawForeground(coarse->mDestImageRep->bitmapData(), 700, 300, 200);
    const RgbPicture& layout = coarse->mDestImageRep->picture();
    const auto nearElement = [&](int x, int row) {
        if (std::abs(row - 100) == 1) {
            return true;
        }
        for (int i = std::max(x - 1, 0); i <= std::min(x + 1, 699); ++i) {
            for (int j = std::max(row - 1, 0); j <= std::min(row + 1, 299); ++j) {
                if (!std::equal(one.pixel(i, j), one.pixel(i, j) + 3, layout.pixel(i, j))) {
                    return true;
                }
            }
        }
        return false;
    };
    for (const int s : {2, 3}) {
        const auto fine = noteFrame(329.8f, 329.7f, 5, true, 0.06f, 0, s);
        const RgbPicture& picture = fine->picture();
        ASSERT_EQ(std::pair(picture.width(), picture.height()), std::pair(700 * s, 300 * s));
        double worst[2] = {0.0, 0.0}; // the layout's, near an element
        for (int row = 0; row < 300; ++row) {
            for (int x = 0; x < 700; ++x) {
                for (int c = 0; c < 3; ++c) {
                    double sum = 0.0;
                    for (int k = 0; k < s * s; ++k) {
                        sum += picture.pixel(s * x + k % s, s * row + k / s)[c];
                    }
                    double& bound = worst[nearElement(x, row) ? 1 : 0];
                    bound = std::max(bound, std::abs(sum / (s * s) - one.pixel(x, row)[c]));
                }
            }
        }
        EXPECT_LE(worst[0], 1.0) << s;
        EXPECT_LE(worst[1], 250.0 * (s - 1) / s + 1.0) << s;

        int oddRows = 0;
        for (int x = 0; x < 700 * s; x += s) {
            for (int row = 0; row < 200 * s; ++row) {
                if (picture.pixel(x, row)[0] == 250) {
                    oddRows += row % 2;
                    break;
                }
            }
        }
        EXPECT_GT(oddRows, 100) << s;
        const auto marks = [&](int row) {
            std::vector<int> columns;
            for (int x = 0; x < 700 * s; ++x) {
                columns.insert(
                    columns.end(),
                    picture.pixel(x, row)[1] == 250 && picture.pixel(x, row)[0] == 0 ? 1 : 0, x);
            }
            return columns;
        };
        const std::vector<int> period{static_cast<int>(s * 44100.0 / 329.8)};
        EXPECT_EQ(marks(50 * s), period) << s;
        EXPECT_EQ(marks(208 * s), period) << s;
        // The selected button, E4, is its image drawn for the scale.
        const auto e4 = NSImage::initWithContentsOfFile(TUNER_SOURCE_DIR "/resources/E4@" +
                                                        std::to_string(s) + "x.png");
        ASSERT_NE(e4, nullptr);
        int differing = 0;
        for (int i = 0; i < e4->pixelsWide() * e4->pixelsHigh(); ++i) {
            const std::uint8_t* in = &e4->rgba()[i * 4];
            differing += in[3] == 255 && !std::equal(in, in + 3,
                                                     picture.pixel(s * 114 + i % e4->pixelsWide(),
                                                                   s * 276 + i / e4->pixelsWide()));
        }
        EXPECT_EQ(differing, 0) << s;
    }
}
