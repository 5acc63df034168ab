#include "AudioFaults.h"

#include <cmath>
#include <cstdio>
#include <iterator>

namespace {

using S = AudioStatus;
using F = AudioFault;
using R = Retry;

constexpr FaultRow kFaults[] = {
    {F::noInput, S::noInput, R::afterInterval, false,
     "Error - no default input device; the tuner starts when there is one.\n"},
    {F::noOutput, S::noOutput, R::afterInterval, false,
     "Error - no default output device; the tuner starts when there is one.\n"},
    {F::noDevices, S::noInput, R::afterInterval, false,
     "Error - no default input device and no default output device; the tuner starts when "
     "there is one.\n"},
    {F::serverAway, S::serverStopped, R::soon, false,
     "Error - the %s server is not running; the tuner starts when it runs again.\n"},
    {F::serverRefused, S::startFailed, R::afterInterval, false, ""},
    {F::notAnswering, S::notAnswering, R::afterInterval, false,
     "Error - the sound devices do not answer; the tuner tries again.\n"},
    {F::formatRefused, S::formatRefused, R::afterInterval, false, ""},
    {F::deviceBusy, S::deviceBusy, R::afterInterval, false, ""},
    {F::startRefused, S::startFailed, R::afterInterval, false, ""},
    {F::inputNeverStarted, S::inputStopped, R::afterInterval, false,
     "Error - the input device did not start: no input arrived; trying again.\n"},
    {F::outputNeverStarted, S::outputStopped, R::afterInterval, false,
     "Error - the output device did not start: it asked for no output; trying again.\n"},
    {F::startStarved, S::startFailed, R::afterInterval, false,
     "Error - the input did not keep coming while the output measured its offset; trying "
     "again.\n"},
    {F::serverStopped, S::serverStopped, R::atOnce, false,
     "Error - the %s server stopped; trying again.\n"},
    {F::stoppedAnswering, S::notAnswering, R::atOnce, false,
     "Error - the sound devices do not answer; the tuner tries again.\n"},
    {F::inputError, S::inputStopped, R::atOnce, false,
     "Error - the input device stopped with an error; trying again.\n"},
    {F::outputError, S::outputStopped, R::atOnce, false,
     "Error - the output device stopped with an error; trying again.\n"},
    {F::inputStalled, S::inputStopped, R::atOnce, false,
     "Error - the input device stopped: no input for more than a second; trying again.\n"},
    {F::outputStalled, S::outputStopped, R::atOnce, false,
     "Error - the output device stopped: no output call for more than a second; trying "
     "again.\n"},
    {F::inputFailing, S::inputFailing, R::notStopped, true,
     "Error - the input device is failing: %s.\n"},
    {F::inputKeepsFailing, S::inputFailing, R::atOnce, true,
     "Error - the input device keeps failing; opening the devices again.\n"},
    {F::defaultChanged, S::flowing, R::atOnce, false,
     "The desktop's default sound devices changed; the tuner moves to them.\n"},
};

} // namespace

const FaultRow& faultRow(AudioFault fault) {
    for (const FaultRow& row : kFaults) {
        if (row.fault == fault) {
            return row;
        }
    }
    return kFaults[std::size(kFaults) - 1];
}

std::string faultSaid(AudioFault fault, const char* fill) {
    char line[512];
    std::snprintf(line, sizeof line, faultRow(fault).said, fill);
    return line;
}

std::string statusShown(AudioStatus status, const char* soundSystem, double offeredRate) {
    switch (status) {
    case S::starting:
        return "Opening the sound input and output…";
    case S::noInput:
        return "No sound input found. Connect a microphone or an instrument cable; the tuner "
               "will pick it up.";
    case S::noOutput:
        return "No sound output found. The tuner keeps time with one: connect or switch on an "
               "output device, and it will start.";
    case S::inputStopped:
        return "The sound input has stopped. Check the cable or the device; the tuner keeps "
               "trying to open it again.";
    case S::outputStopped:
        return "The sound output has stopped. The tuner keeps trying to open it again.";
    case S::startFailed:
        return "The sound devices would not start; the tuner keeps trying.";
    case S::deviceBusy:
        return "The sound devices would not start. Another program may hold them; the tuner "
               "keeps trying.";
    case S::formatRefused: {
        const long offered = std::lround(offeredRate);
        return "The sound device would not take 44100 Hz" +
               (offered > 0 ? " (it runs at " + std::to_string(offered) + " Hz)" : std::string()) +
               ". Set it to 44100 Hz or choose another default device; the tuner keeps trying.";
    }
    case S::inputFailing:
        return "The sound input is breaking up or running too slowly. Check the cable and the "
               "device, or close programs that load the computer; the tuner opens it again.";
    case S::serverStopped:
        return std::string("The ") + soundSystem +
               " server has stopped. The tuner carries on by itself when it runs again.";
    case S::notAnswering:
        return "The sound devices do not answer. The tuner keeps trying; restarting the sound "
               "server may help.";
    case S::flowing:
        break;
    }
    return "";
}

AudioFault startFault(bool inputFound, bool outputFound, OSStatus lookup, OSStatus refusal) {
    const bool missing = !inputFound || !outputFound;
    if ((missing && lookup == kAudioHardwareNotRespondingError) ||
        refusal == kAudioHardwareNotRespondingError) {
        return F::notAnswering;
    }
    // The devices of a sound server that stopped are not missing: they come back with it.
    if (missing && lookup == kAudioHardwareServerGoneError) {
        return F::serverAway;
    }
    // A sound server that is there but refused the tuner (its client, or its rate).
    if (missing && lookup == kAudioHardwareUnspecifiedError) {
        return F::serverRefused;
    }
    if (missing) {
        return inputFound ? F::noOutput : outputFound ? F::noInput : F::noDevices;
    }
    if (refusal == kAudioDeviceUnsupportedFormatError) {
        return F::formatRefused;
    }
    if (refusal == kAudioDevicePermissionsError) {
        return F::deviceBusy;
    }
    return F::startRefused;
}
