#include "AnalysisHandover.h"

#include <algorithm>
#include <new>

namespace {

// The latest slot's index, with a mark while the reader has not taken it yet.
constexpr std::uint32_t kIndexMask = 3;
constexpr std::uint32_t kUnread = 4;

// A new set: the writer fills slot 0, slot 1 stands as the (already read) latest, and
// the reader holds slot 2.
constexpr int kFirstBack = 0;
constexpr std::uint32_t kFirstLatest = 1;
constexpr int kFirstFront = 2;

} // namespace

struct AnalysisHandover::Slots {
    std::int32_t capacity = 0;
    std::unique_ptr<float[]> samples; // three windows of capacity samples
    PublishedAnalysis analyses[3];
    std::atomic<std::uint32_t> latest{kFirstLatest};
    Slots* nextRetired = nullptr; // writer only
};

AnalysisHandover::AnalysisHandover() {
    // The first set has no room for a window yet; the intake's first rebuild makes it.
    auto* const first = new Slots;
    mCurrent.store(first, std::memory_order_relaxed);
    mHeld.store(first, std::memory_order_relaxed);
    mWriting = first;
    mBack = kFirstBack;
    mShownSlots = first;
    mFront = kFirstFront;
}

AnalysisHandover::~AnalysisHandover() {
    // The writer and the reader have both finished when the handover goes.
    Slots* const current = mCurrent.load(std::memory_order_acquire);
    if (mWriting != current) {
        delete mWriting;
    }
    delete current;
    while (mRetired != nullptr) {
        Slots* const next = mRetired->nextRetired;
        delete mRetired;
        mRetired = next;
    }
}

bool AnalysisHandover::resize(std::int32_t size) {
    auto* const slots = new (std::nothrow) Slots;
    if (slots == nullptr) {
        return false;
    }
    if (size > 0) {
        slots->samples.reset(new (std::nothrow) float[3 * static_cast<std::size_t>(size)]());
        if (!slots->samples) {
            delete slots;
            return false;
        }
        slots->capacity = size;
    }
    // A set that was never published never reached the reader.
    if (mWriting != mCurrent.load(std::memory_order_relaxed)) {
        delete mWriting;
    }
    mWriting = slots;
    mBack = kFirstBack;
    reclaimRetired();
    return true;
}

void AnalysisHandover::publish(const PublishedAnalysis& values, const SharedFloat* window,
                               std::int32_t size) {
    Slots& slots = *mWriting;
    PublishedAnalysis& analysis = slots.analyses[mBack];
    analysis = values;
    const std::int32_t count = window != nullptr ? std::clamp(size, 0, slots.capacity) : 0;
    float* const samples =
        count > 0 ? slots.samples.get() + static_cast<std::size_t>(mBack) * slots.capacity
                  : nullptr;
    for (std::int32_t i = 0; i < count; ++i) {
        samples[i] = window[i].load(std::memory_order_relaxed);
    }
    analysis.samples = samples;
    analysis.size = count;

    // Release: the slot's contents go with its index to the reader that takes it.
    const std::uint32_t previous = slots.latest.exchange(
        static_cast<std::uint32_t>(mBack) | kUnread, std::memory_order_acq_rel);
    mBack = static_cast<int>(previous & kIndexMask);

    Slots* const current = mCurrent.load(std::memory_order_relaxed);
    if (mWriting != current) {
        // The new set's first publication: from now on the reader moves to it. The old
        // set is freed only once the reader is known to have left it.
        mCurrent.store(mWriting, std::memory_order_seq_cst);
        current->nextRetired = mRetired;
        mRetired = current;
    }
}

void AnalysisHandover::reclaimRetired() {
    // The reader announces a set in mHeld before it touches it and reads no other set
    // after that, so every retired set but the announced one is free of readers.
    Slots* const held = mHeld.load(std::memory_order_seq_cst);
    Slots** link = &mRetired;
    while (*link != nullptr) {
        Slots* const slots = *link;
        if (slots == held) {
            link = &slots->nextRetired;
        } else {
            *link = slots->nextRetired;
            delete slots;
        }
    }
}

std::int32_t AnalysisHandover::retiredCount() const noexcept {
    std::int32_t count = 0;
    for (const Slots* slots = mRetired; slots != nullptr; slots = slots->nextRetired) {
        ++count;
    }
    return count;
}

const PublishedAnalysis& AnalysisHandover::takeLatest() {
    Slots* slots = mCurrent.load(std::memory_order_seq_cst);
    if (slots != mShownSlots) {
        // Announce the set, then make sure it is still the current one: a set replaced
        // in between may already be on its way to being freed. Sequentially consistent
        // with the writer's store of mCurrent and its load of mHeld.
        for (;;) {
            mHeld.store(slots, std::memory_order_seq_cst);
            Slots* const again = mCurrent.load(std::memory_order_seq_cst);
            if (again == slots) {
                break;
            }
            slots = again;
        }
        mShownSlots = slots;
        mFront = kFirstFront;
    }
    if ((slots->latest.load(std::memory_order_relaxed) & kUnread) != 0) {
        // Acquire: the slot's contents as the writer left them.
        const std::uint32_t previous =
            slots->latest.exchange(static_cast<std::uint32_t>(mFront), std::memory_order_acq_rel);
        mFront = static_cast<int>(previous & kIndexMask);
    }
    return slots->analyses[mFront];
}

const PublishedAnalysis& AnalysisHandover::shown() const noexcept {
    return mShownSlots->analyses[mFront];
}
