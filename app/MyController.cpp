#include "MyController.h"

#include "AudioSupervisor.h"
#include "MakerSite.h"
#include "MySoundPort.h"
#include "NSTextField.h"
#include "NSTimer.h"
#include "NSWorkspace.h"

#include <chrono>
#include <cmath>
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

// What the window says, and what the user can do about it; empty: nothing to say.
std::string statusText(const AudioSupervisor& supervisor) {
    using Status = AudioSupervisor::Status;
    switch (supervisor.status()) {
    case Status::starting:
        return "Opening the sound input and output…";
    case Status::noInput:
        return "No sound input found. Connect a microphone or an instrument cable; the tuner "
               "will pick it up.";
    case Status::noOutput:
        return "No sound output found. The tuner keeps time with one: connect or switch on an "
               "output device, and it will start.";
    case Status::inputStopped:
        return "The sound input has stopped. Check the cable or the device; the tuner keeps "
               "trying to open it again.";
    case Status::outputStopped:
        return "The sound output has stopped. The tuner keeps trying to open it again.";
    case Status::startFailed:
        return "The sound devices would not start; the tuner keeps trying.";
    case Status::deviceBusy:
        return "The sound devices would not start. Another program may hold them; the tuner "
               "keeps trying.";
    case Status::formatRefused: {
        const long offered = std::lround(supervisor.offeredRate());
        return "The sound device would not take 44100 Hz" +
               (offered > 0 ? " (it runs at " + std::to_string(offered) + " Hz)" : std::string()) +
               ". Set it to 44100 Hz or choose another default device; the tuner keeps trying.";
    }
    case Status::inputFailing:
        return "The sound input is breaking up or running too slowly. Check the cable and the "
               "device, or close programs that load the computer; the tuner opens it again.";
    case Status::notAnswering:
        return "The sound devices do not answer. The tuner keeps trying; restarting the sound "
               "server may help.";
    case Status::serverStopped:
        return "The JACK server has stopped. The tuner carries on by itself when it runs "
               "again.";
    case Status::flowing:
        break;
    }
    return "";
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
    const std::string text = statusText(*mSupervisor);
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
