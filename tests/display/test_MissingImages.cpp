// A view built from a resource folder with images missing or damaged: it says which,
// still draws its frames (at 3 pixels a point an image without its finer file enlarged),
// and a button without an image can never be hit while the others are hit strictly inside;
// also the switch of automatic string selection. Its own program,
// since the resource folder is fixed at the first lookup.
#include "DisplayTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <unistd.h>

using namespace display_test;
namespace fs = std::filesystem;

TEST(MissingImages, ViewConstructsDrawsAndHitsWhatItHas) {
    // The committed images, less n7 and A2; dot is not a PNG, E4 a cut-off one.
    const fs::path folder =
        fs::temp_directory_path() / ("tuner-resources-" + std::to_string(getpid()));
    fs::copy(fs::path(TUNER_SOURCE_DIR) / "resources", folder);
    fs::remove(folder / "n7.png");
    fs::remove(folder / "A2.png");
    fs::remove(folder / "E2@3x.png");
    std::ofstream(folder / "dot.png") << "not an image";
    fs::resize_file(folder / "E4.png", 60);
    setenv("TUNER_RESOURCE_DIR", folder.c_str(), 1);
    testing::internal::CaptureStderr();
    // The view sits at (10, 20) in its window, whose coordinates clicks come in.
    TestView view(NSMakeRect(10.0f, 20.0f, 700.0f, 300.0f));
    fs::remove_all(folder);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Missing or unreadable images in " + folder.string() +
                  ": n7.png, dot.png, E2@3x.png, A2.png, E4.png\n");
    EXPECT_TRUE(view.n7 == nullptr && view.dot == nullptr && view.buttonPicts[1] == nullptr &&
                view.buttonPicts[5] == nullptr);
    ASSERT_TRUE(view.n1 != nullptr && view.e2 != nullptr && view.mDestImageRep != nullptr);

    view.allocSampleBuffer(700); // a window of 2800 samples
    view.mFrequency = 110.0f;
    view.mFrequencyStable = 1.0f;
    view.display();
    EXPECT_EQ(bitmapPixel(view, 400, 50), (Rgb{250, 0, 0}));
    view.setBackingScaleFactor(3);
    view.display();
    // golden/missing-images-scale3.png: E2 at (4, 4), selected, its one image enlarged; no
    // button for A2 and E4, no 7 and no point in the readouts.
    expectMatchesGolden(view.picture(), "missing-images-scale3.png");

    // Buttons of 21 × 20 pixels at (4 + 22 i, 4) in the view; A2 and E4 have none.
    const std::tuple<float, float, int> clicks[] = {
        {4.0f, 10.0f, 3},  {10.0f, 4.0f, 3},   {25.0f, 10.0f, 3},   {10.0f, 24.0f, 3},
        {36.0f, 10.0f, 3}, {124.0f, 10.0f, 3}, {300.0f, 100.0f, 3}, {NAN, 10.0f, 3},
        {4.5f, 10.0f, 0},  {24.9f, 23.9f, 0},  {48.5f, 4.5f, 2},    {112.9f, 23.9f, 4}};
    for (const auto& [x, y, selected] : clicks) {
        view.selectedFrequency = 3;
        view.mouseUp(NSEvent(NSMakePoint(x + 10.0f, y + 20.0f)));
        EXPECT_EQ(view.selectedFrequency, selected) << x << ", " << y;
    }

    // The switch: the view's flag decides, and the control, whatever it showed, shows it.
    NSControl toggle;
    for (int state : {0, 1}) {
        toggle.setState(1 - state);
        view.toggleAutoSelect(&toggle);
        EXPECT_EQ(std::pair(view.autoSelect.load(), toggle.state()), std::pair(state, state));
    }
}
