// SoundView's construction and teardown: starting values, the string table, the images
// and the off-screen bitmap.
#include "DisplayLayout.h"
#include "SoundView.h"

#include "NSBitmapImageRep.h"
#include "NSImage.h"
#include "SaturatingCast.h"

#include <cstdio>
#include <string>

namespace {

// The image name.png of the resources, with name@2x.png and name@3x.png for finer
// screens; null when name.png is missing or unreadable. The name of each file missing or
// unreadable is added to unread.
NSImage* loadImage(const std::string& name, std::string& unread) {
    const std::string path = NSBundle::mainBundle().pathForResource(name, "png");
    NSImage* const image = path.empty() ? nullptr : NSImage::initWithContentsOfFile(path).release();
    const auto note = [&unread](const std::string& file) {
        unread += (unread.empty() ? "" : ", ") + file;
    };
    if (image == nullptr) {
        note(name + ".png");
        return nullptr;
    }
    for (int scale = 2; scale <= NSView::kMaximumBackingScaleFactor; ++scale) {
        if (!image->hasPixelsAtScale(scale)) {
            note(name + "@" + std::to_string(scale) + "x.png");
        }
    }
    return image;
}

// The off-screen bitmap of a view width × height points at scale pixels a point; null
// when there can be none.
NSBitmapImageRep* createBitmap(std::int32_t width, std::int32_t height, std::int32_t scale) {
    return NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, width * scale, height * scale, 8, 3,
                                                      false, false, NSCalibratedRGBColorSpace, 0, 0)
        .release();
}

} // namespace

SoundView::SoundView(NSRect frame) : NSView(frame) {
    const std::int32_t width = toInt32(frame.size.width);
    const std::int32_t height = toInt32(frame.size.height);

    mSampleBufferSize = 0;
    mStepsPerBuffer = 4;
    mCurrentStep = 0;
    mHighestVolume = 0.1f;
    mCurrentFrequency = 0.0f;
    mFrequency = 0.0f;
    mPeriodMarkAlpha = 0.0f;
    mWaveAlpha = 0.0f;

    for (int i = 0; i < tuner::kStringCount; ++i) {
        frequencyList[i] = tuner::kStringFrequencies[i];
    }
    selectedFrequency = 0;
    // One period of the selected string when kSamplesPerView samples span the width.
    const float periodInSamples = display_layout::kSampleRate / frequencyList[selectedFrequency];
    selectedMarkPos = static_cast<float>(static_cast<double>(width) / tuner::kSamplesPerView *
                                         static_cast<double>(periodInSamples));
    autoSelect = 1;

    std::string unread;
    imageTooLow = loadImage("TOOLOW", unread);
    n1 = loadImage("n1", unread);
    n2 = loadImage("n2", unread);
    n3 = loadImage("n3", unread);
    n4 = loadImage("n4", unread);
    n5 = loadImage("n5", unread);
    n6 = loadImage("n6", unread);
    n7 = loadImage("n7", unread);
    n8 = loadImage("n8", unread);
    n9 = loadImage("n9", unread);
    n0 = loadImage("n0", unread);
    dot = loadImage("dot", unread);
    e2 = loadImage("E2", unread);
    a2 = loadImage("A2", unread);
    d3 = loadImage("D3", unread);
    g3 = loadImage("G3", unread);
    b3 = loadImage("B3", unread);
    e4 = loadImage("E4", unread);
    // The view goes on without them: what they show stays blank, or drawn coarser.
    if (!unread.empty()) {
        const std::string& folder = NSBundle::mainBundle().resourcePath();
        std::fprintf(stderr, "Missing or unreadable images in %s: %s\n",
                     folder.empty() ? "(no resource folder found)" : folder.c_str(),
                     unread.c_str());
    }

    NSImage* const buttons[tuner::kStringCount] = {e2, a2, d3, g3, b3, e4};
    const float buttonX[tuner::kStringCount] = {4.0f, 26.0f, 48.0f, 70.0f, 92.0f, 114.0f};
    for (int i = 0; i < tuner::kStringCount; ++i) {
        buttonPicts[i] = buttons[i];
        buttonLocs[i] = NSMakePoint(buttonX[i], 4.0f);
    }

    mDestImage =
        NSImage::initWithSize(NSMakeSize(static_cast<float>(width), static_cast<float>(height)))
            .release();
    // A frame too small for any bitmap gets none; the frame composition then draws no
    // wave picture.
    mDestImageRep = createBitmap(width, height, backingScaleFactor());
    mDestImage->addRepresentation(mDestImageRep);

    // Frames before the first analysis show the starting state.
    publishAnalysis();
}

void SoundView::viewDidChangeBackingProperties() {
    delete mDestImageRep;
    const NSRect bounds = NSView::bounds();
    mDestImageRep =
        createBitmap(toInt32(bounds.size.width), toInt32(bounds.size.height), backingScaleFactor());
    mDestImage->addRepresentation(mDestImageRep);
}

SoundView::~SoundView() {
    delete mDestImageRep;
    delete mDestImage;
    NSImage* const owned[] = {imageTooLow, n1, n2,  n3, n4, n5, n6, n7, n8,
                              n9,          n0, dot, e2, a2, d3, g3, b3, e4};
    for (NSImage* image : owned) {
        delete image;
    }
    delete[] mSampleBuffer;
    delete[] mPosZeroCrossings;
    delete[] mPeaks;
}
