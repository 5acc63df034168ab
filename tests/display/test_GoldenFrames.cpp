// Whole frames from fixed tuner states, with the committed images, compared byte for byte
// with the PNGs in golden/. After a deliberate change of the picture or of resources/,
// rerun with TUNER_UPDATE_GOLDEN=1 to rewrite them, and look at them before committing.
#include "DisplayTestSupport.h"

#include "NSImage.h"
#include "PngFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

using namespace display_test;

namespace {

// The frame of a stable note, faded for some frames: a wave of two harmonics from its first
// period start, the marks and readouts at their places (the selected mark settled).
std::unique_ptr<TestView> noteFrame(float frequency, float shown, int string, bool inTune,
                                    float volume, int fadedFrames) {
    auto view = makeView();
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
