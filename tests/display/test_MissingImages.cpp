// A resource directory with images missing or damaged: the view still constructs, draws
// its frame and what images it has, and a button without an image can never be hit. Its
// own program, since the resource directory is fixed at the first lookup.
#include "DisplayTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace display_test;

namespace {

std::string gResources;

// The committed images, less n7 and A2; dot is not a PNG, E4 a cut-off one.
void prepareResources() {
    namespace fs = std::filesystem;
    gResources = scratchPath("resources");
    fs::create_directories(gResources);
    for (const auto& entry : fs::directory_iterator(fs::path(TUNER_SOURCE_DIR) / "resources")) {
        fs::copy_file(entry.path(), fs::path(gResources) / entry.path().filename());
    }
    fs::remove(fs::path(gResources) / "n7.png");
    fs::remove(fs::path(gResources) / "A2.png");
    std::ofstream(fs::path(gResources) / "dot.png") << "not an image";
    fs::resize_file(fs::path(gResources) / "E4.png", 60);
    setenv("TUNER_RESOURCE_DIR", gResources.c_str(), 1);
}

} // namespace

TEST(MissingImages, ViewConstructsAndDrawsEverythingElse) {
    testing::internal::CaptureStderr();
    const auto view = makeView();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Missing or unreadable images in " +
                                                          gResources +
                                                          ": n7.png, dot.png, A2.png, E4.png\n");
    EXPECT_EQ(view->n7, nullptr);
    EXPECT_EQ(view->a2, nullptr);
    EXPECT_EQ(view->dot, nullptr);
    EXPECT_EQ(view->e4, nullptr);
    EXPECT_EQ(view->buttonPicts[1], nullptr);
    EXPECT_EQ(view->buttonPicts[5], nullptr);
    ASSERT_NE(view->n1, nullptr);
    ASSERT_NE(view->e2, nullptr);
    ASSERT_NE(view->mDestImageRep, nullptr);

    allocateWindow(*view, 2800);
    view->mFrequency = 110.0f;
    view->mFrequencyStable = 1.0f;
    view->mDisplayFrequency = 177.7f; // only 1s and the empty gaps of 7s and the point
    view->display();
    EXPECT_EQ(bitmapPixel(*view, 400, 50), (Rgb{250, 0, 0}));
    EXPECT_EQ(bitmapPixel(*view, 350, 250), grey(48));

    // The readout's 1 stands at x = 404; each missing glyph still leaves its gap.
    const int row = 300 - 1 - 59;
    bool oneDrawn = false;
    for (int x = 404; x < 404 + static_cast<int>(view->n1->size().width); ++x) {
        for (int r = row - static_cast<int>(view->n1->size().height) + 1; r <= row; ++r) {
            oneDrawn = oneDrawn || pixelAt(view->picture(), x, r) != grey(48);
        }
    }
    EXPECT_TRUE(oneDrawn);
    view->moveToX(0, 0);
    view->drawFloat(177.7f);
    EXPECT_EQ(view->mDrawX, static_cast<int>(view->n1->size().width) + 1 + 4);

    // E2 is drawn; A2 and E4 have no picture and no area.
    EXPECT_NE(pixelAt(view->picture(), 14, 300 - 1 - 12), grey(48));
    view->selectedFrequency = 0;
    view->mouseUp(NSEvent(NSMakePoint(36.0f, 10.0f)));
    view->mouseUp(NSEvent(NSMakePoint(124.0f, 10.0f)));
    EXPECT_EQ(view->selectedFrequency, 0);
    view->mouseUp(NSEvent(NSMakePoint(58.0f, 10.0f)));
    EXPECT_EQ(view->selectedFrequency, 2);
}

int main(int argc, char** argv) {
    prepareResources();
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::filesystem::remove_all(gResources);
    return result;
}
