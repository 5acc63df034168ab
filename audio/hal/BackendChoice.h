#pragma once

// Which backend serves the audio boundary: made afresh at each look for the default devices
// while the engine has no procedure added (the dispatch asks), so that a stream that flows is
// never left for a backend that appears later. Of the candidates, in their order:
// - the one the user asked for by its key (GUITAR_TUNER_AUDIO), where one was;
// - else the first one taken by itself that serves now (AudioBackend::available), or that
//   holds on to the user's audio while its server is away (AudioBackend::holdsOn);
// - else the last one.
// A candidate passed over because it is not taken by itself says why, once, as does an
// asked-for key that names none.
//
// Control thread only (the dispatch's call thread).

#include "AudioBackend.h"

#include <string>
#include <vector>

class BackendChoice {
public:
    struct Candidate {
        const char* key; // what GUITAR_TUNER_AUDIO names it
        AudioBackend* backend;
        // Taken without being asked for; otherwise `passedOver` says why not, once.
        bool byItself = true;
        const char* passedOver = "";
    };

    // `asked`: the key the user asked for (null or empty: none).
    BackendChoice(std::vector<Candidate> candidates, const char* asked);

    // The backend for a new look for the devices; the one chosen before is let go when
    // another is taken.
    AudioBackend* choose();

private:
    std::vector<Candidate> mCandidates;
    std::string mAsked;
    AudioBackend* mChosen = nullptr;
    bool mTold = false;
};
