#pragma once

// Whether any procedure is added (its stream open). Control thread.
bool anyStreamOpen();

// Aborts and closes every stream the backend opened. Control thread, or at process exit
// before PortAudio ends.
void closeAllStreams();
