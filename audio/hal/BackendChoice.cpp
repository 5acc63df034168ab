#include "BackendChoice.h"

#include "Diagnostics.h"

#include <cstdio>

BackendChoice::BackendChoice(std::vector<Candidate> candidates, const char* asked)
    : mCandidates(std::move(candidates)), mAsked(asked != nullptr ? asked : "") {}

AudioBackend* BackendChoice::choose() {
    if (mCandidates.empty()) {
        return nullptr;
    }
    if (mChosen != nullptr && mChosen->anyStreamOpen()) {
        return mChosen;
    }
    const Candidate* next = nullptr;
    bool askedFound = false;
    for (const Candidate& candidate : mCandidates) {
        if (!mAsked.empty() && mAsked == candidate.key) {
            next = &candidate;
            askedFound = true;
        }
    }
    std::string said;
    if (!askedFound && !mAsked.empty()) {
        std::string keys;
        for (std::size_t i = 0; i < mCandidates.size(); ++i) {
            keys += std::string(i == 0                        ? ""
                                : i + 1 == mCandidates.size() ? " nor "
                                                              : ", ") +
                    mCandidates[i].key;
        }
        said = "GUITAR_TUNER_AUDIO=" + mAsked + " is neither " + keys +
               "; the tuner chooses by itself.\n";
    }
    for (std::size_t i = 0; next == nullptr && i + 1 < mCandidates.size(); ++i) {
        const Candidate& candidate = mCandidates[i];
        if (!candidate.byItself) {
            said += said.empty() ? candidate.passedOver : "";
        } else if (candidate.backend->available() || candidate.backend->holdsOn()) {
            next = &candidate;
        }
    }
    if (next == nullptr) {
        next = &mCandidates.back();
    }
    if (!mTold && !said.empty()) {
        std::fputs(said.c_str(), diagnostics());
    }
    mTold = true;
    if (mChosen != nullptr && mChosen != next->backend) {
        mChosen->release();
    }
    mChosen = next->backend;
    return mChosen;
}
