#include "MyController.h"

#include "AudioSupervisor.h"
#include "MakerSite.h"
#include "MySoundPort.h"
#include "NSTextField.h"
#include "NSTimer.h"
#include "NSWorkspace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// How long quitting may wait for the audio devices to stop: the window is gone by then,
// and a user who pressed Ctrl+Q expects the program to end at once.
constexpr std::chrono::milliseconds kQuitBound{350};

// Whether the page opened is not looked at: a desktop without a browser changes nothing.
void openPage(const std::string& address) {
    NSWorkspace::sharedWorkspace().openURL(NSURL::URLWithString(address));
}

} // namespace

MyController::MyController() = default;
MyController::~MyController() = default;

void MyController::awakeFromNib() {
    if (soundPort == nullptr) {
        return;
    }
    // setup and start run in the background, so that the window never waits for audio.
    mSupervisor = std::make_unique<AudioSupervisor>(*soundPort);
    mSupervisor->begin();
    showAudioStatus();
    mTimer = NSTimer::scheduledTimer(AudioSupervisor::kTickInterval, [this] {
        mSupervisor->tick();
        showAudioStatus();
    });
}

void MyController::showAudioStatus() {
    if (statusLine == nullptr || mSupervisor == nullptr) {
        return;
    }
    const std::string text =
        statusShown(mSupervisor->status(), mSupervisor->soundSystem(), mSupervisor->offeredRate());
    if (!text.empty() && statusLine->stringValue() != text) {
        statusLine->setStringValue(text);
    }
    if (statusLine->isHidden() != text.empty()) {
        statusLine->setHidden(text.empty());
    }
}

void MyController::applicationWillTerminate() {
    mTimer.reset();
    if (mSupervisor != nullptr && !mSupervisor->shutdown(kQuitBound)) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
}

void MyController::donate(NSObject*) {
    openPage(std::string(kMakerSite) + kDonationPagePath);
}

void MyController::visit(NSObject*) {
    openPage(std::string(kMakerSite) + "/");
}
