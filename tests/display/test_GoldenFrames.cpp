// Whole frames from fixed tuner states, with the committed images, compared byte for byte
// with the PNGs in golden/. After a deliberate change of the picture or of resources/,
// rerun with TUNER_UPDATE_GOLDEN=1 to rewrite them, and look at them before committing.
#include "DisplayTestSupport.h"

#include "PngFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>

using namespace display_test;

namespace {

struct Note {
    float frequency; // of the wave and the measured mark
    float shown;     // mDisplayFrequency
    int string;      // selected
    bool stable;
    bool inTune;
    float volume;        // peak of the wave
    int fadedFrames = 0; // frames drawn after the note lost its stability
};

// Draws the frame of a note: a wave of two harmonics from its first period start, the
// marks and readouts at their places (the selected mark settled on its goal).
std::unique_ptr<TestView> noteFrame(const Note& note) {
    auto view = makeView();
    SharedFloat* samples = allocateWindow(*view, 2048);
    const double period = 44100.0 / note.frequency;
    for (int i = 0; i < 2048; ++i) {
        const double phase = 2.0 * std::numbers::pi * i / period;
        samples[i] =
            static_cast<float>(note.volume * (0.8 * std::sin(phase) + 0.2 * std::sin(2.0 * phase)));
    }
    view->mFirstPeriod = 0;
    view->mHighestVolume = 0.1f;
    view->mCurrentVolume = note.volume;
    view->mFrequency = note.frequency;
    view->mDisplayFrequency = note.shown;
    view->selectedFrequency = note.string;
    view->mFrequencyStable = note.stable ? 1.0f : 0.0f;
    view->mInTune = note.inTune ? 1.0f : 0.0f;
    for (int frame = 0; frame < 60; ++frame) {
        view->display();
    }
    view->mFrequencyStable = 0.0f;
    for (int frame = 0; frame < note.fadedFrames; ++frame) {
        view->display();
    }
    return view;
}

void expectMatchesGolden(const RgbPicture& picture, const std::string& name) {
    const std::string path = std::string(TUNER_SOURCE_DIR) + "/tests/display/golden/" + name;
    if (const char* update = std::getenv("TUNER_UPDATE_GOLDEN"); update && *update == '1') {
        std::vector<std::uint8_t> rgba;
        for (std::size_t i = 0; i < picture.byteCount(); i += 3) {
            rgba.insert(rgba.end(),
                        {picture.data()[i], picture.data()[i + 1], picture.data()[i + 2], 255});
        }
        ASSERT_TRUE(writeRgbaPng(path, picture.width(), picture.height(), rgba)) << path;
    }
    int width = 0;
    int height = 0;
    const std::vector<std::uint8_t> golden = readPngRgb(path, width, height);
    ASSERT_FALSE(golden.empty()) << "missing golden frame " << path;
    ASSERT_EQ(width, picture.width());
    ASSERT_EQ(height, picture.height());
    std::size_t differing = 0;
    std::size_t first = golden.size();
    for (std::size_t i = 0; i < golden.size(); ++i) {
        if (golden[i] != picture.data()[i]) {
            ++differing;
            first = std::min(first, i);
        }
    }
    EXPECT_EQ(differing, 0u) << name << ": first difference at pixel (" << (first / 3) % width
                             << ", " << (first / 3) / width << ")";
}

} // namespace

TEST(GoldenFrames, InTuneE4) {
    const auto view = noteFrame({329.8f, 329.7f, 5, true, true, 0.06f});
    expectMatchesGolden(view->picture(), "in-tune-E4.png");
}

TEST(GoldenFrames, FlatA2FadingOut) {
    const auto view = noteFrame({106.0f, 106.2f, 1, true, false, 0.09f, 4});
    expectMatchesGolden(view->picture(), "flat-A2-fading.png");
}

TEST(GoldenFrames, StartBeforeAnySound) {
    const auto view = makeView();
    view->display();
    expectMatchesGolden(view->picture(), "start.png");
}
