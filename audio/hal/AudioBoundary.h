#pragma once

// The audio boundary of the whole process: the operations of AudioHardware.h go to one
// BackendDispatch, which hands them to the backend its chooser picks. The program's
// backends install their chooser before main (BackendChoice.cpp); a test installs its own.

#include "BackendDispatch.h"

BackendDispatch& audioBoundary();
// The chooser every later look for the default devices asks; set while the engine has no
// procedure added.
void useAudioBackends(BackendDispatch::Chooser choose);
