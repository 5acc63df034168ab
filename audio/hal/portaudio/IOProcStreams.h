#pragma once

// Aborts and closes every stream the backend opened. Called once, at process exit,
// before PortAudio ends; main thread.
void closeAllStreams();
