#pragma once

#include "NSObject.h"

#include <memory>

class AudioSupervisor;
class MySoundPort;
class NSTextField;
class NSTimer;

// Starts the audio engine once the interface is loaded, keeps it going (restarting it
// when a device stops or appears) and says in the window what is wrong with the sound;
// opens the maker's pages.
class MyController : public NSObject {
public:
    MyController();
    ~MyController() override;

    void awakeFromNib() override;
    // Stops the engine. Should a device keep it from stopping in time, the process ends
    // here and then, without tearing down what the device may still be using.
    void applicationWillTerminate() override;
    void donate(NSObject* sender);
    void visit(NSObject* sender);

    // The window's line for what is wrong with the sound; hidden while audio flows.
    void showAudioStatus();

    MySoundPort* soundPort = nullptr;  // outlet, not owned
    NSTextField* statusLine = nullptr; // outlet, not owned; may be absent

private:
    std::unique_ptr<AudioSupervisor> mSupervisor;
    std::unique_ptr<NSTimer> mTimer;
};
