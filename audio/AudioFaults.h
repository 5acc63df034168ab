#pragma once

// Everything that can go wrong with the sound, in one table (kFaults, AudioFaults.cpp): each
// fault one row with the status the window shows for it, how the devices are tried again,
// whether the status stays once audio flows again until the fault is cleared, and its line
// on the standard error. The supervisor finds the faults, the port says the ones of a start
// it refuses, and the controller's status line shows the statuses; none of them writes a
// sentence of its own about a fault.

#include "AudioHardware.h"

#include <string>

// What the window tells the user of the sound; nothing while it flows.
enum class AudioStatus {
    flowing,       // nothing to say (also while a first start is young)
    starting,      // the first start takes its time
    noInput,       // there is no default input device
    noOutput,      // there is no default output device
    inputStopped,  // the input stopped delivering or failed
    outputStopped, // the output stopped asking or failed
    startFailed,   // the devices are there but would not start
    deviceBusy,    // a device would not start: another program holds it
    formatRefused, // a device would not take the stream format
    serverStopped, // the sound server the devices belong to is not running
    inputFailing,  // the input breaks up or runs too slowly
    notAnswering,  // the sound system does not answer the tuner's calls
};

enum class AudioFault {
    // A start refused (the port says these).
    noInput,
    noOutput,
    noDevices,
    serverAway,    // the devices' sound server is not running
    serverRefused, // it runs, and refused the tuner (the backend said why)
    notAnswering,  // a call was left behind in the sound system
    formatRefused, // a device would not take the stream format (the port said which)
    deviceBusy,
    startRefused, // any other refusal, said where it was found
    // A start whose handshake did not complete in time.
    inputNeverStarted,
    outputNeverStarted,
    startStarved,
    // Running devices.
    serverStopped,
    stoppedAnswering,
    inputError,
    outputError,
    inputStalled,
    outputStalled,
    inputFailing,      // muted, not stopped; %s says how
    inputKeepsFailing, // so the devices are opened again
    defaultChanged,    // the user chose other default devices: the tuner follows
};

enum class Retry {
    afterInterval, // a start that failed waits
    soon,          // a sound server away is asked again four times as often
    atOnce,        // an engine that ran is opened again at once (the device may be back)
    notStopped,    // the engine goes on (the input is muted meanwhile)
};

struct FaultRow {
    AudioFault fault;
    AudioStatus status;
    Retry retry;
    bool sticky;
    // The line on the standard error; %s: the sound system's name or the detail. Empty: the
    // one who found it said it already.
    const char* said;
};

const FaultRow& faultRow(AudioFault fault);
// The fault's line on the standard error, %s filled with `fill`.
std::string faultSaid(AudioFault fault, const char* fill = "");
// The window's line for a status (empty while audio flows), with the sound system's name
// and the rate a device that refused the format offers (0: not known).
std::string statusShown(AudioStatus status, const char* soundSystem, double offeredRate);
// Why a start was refused, from what the look for the devices and the installs answered.
AudioFault startFault(bool inputFound, bool outputFound, OSStatus lookup, OSStatus refusal);
