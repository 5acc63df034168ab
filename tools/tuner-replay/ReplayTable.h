#pragma once

#include "Replay.h"

#include <string>

// The replay's output: one tab-separated line per analysis under a header of column names.

// The header line, newline included.
const std::string& replayHeader();

// Appends one reading's line, newline included. Floats are written in their shortest
// exact form, so a reading can be compared bit for bit.
void appendReplayLine(std::string& out, const ReplayReading& reading);
