#include "MyRingBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {
constexpr auto kSeqCst = std::memory_order_seq_cst;
}

void MyRingBuffer::AllocateBytes(std::int32_t bytesPerFrame, std::int32_t capacityFrames) {
    mBuffer.reset();
    mBytesPerFrame = 0;
    mCapacityFrames = 0;
    mCapacityBytes = 0;
    const std::uint64_t bytes = static_cast<std::uint64_t>(std::max(bytesPerFrame, 0)) *
                                static_cast<std::uint64_t>(std::max(capacityFrames, 0));
    if (bytes != 0 && bytes <= std::numeric_limits<std::uint32_t>::max()) {
        mBuffer.reset(new (std::nothrow) std::uint8_t[bytes]);
        if (mBuffer) {
            mBytesPerFrame = static_cast<std::uint32_t>(bytesPerFrame);
            mCapacityFrames = static_cast<std::uint32_t>(capacityFrames);
            mCapacityBytes = static_cast<std::uint32_t>(bytes);
        }
    }
    Clear();
}

void MyRingBuffer::Clear() {
    if (mBuffer) {
        std::memset(mBuffer.get(), 0, mCapacityBytes);
    }
    mEndFrame.store(0, std::memory_order_release);
    mStartOffset.store(0, std::memory_order_relaxed);
    mStartFrame.store(0, kSeqCst);
    mOriginFrame.store(0, std::memory_order_release);
}

const std::uint8_t* MyRingBuffer::storage() const {
    return mBuffer.get();
}

bool MyRingBuffer::claimed(std::int64_t before) const {
    const std::int64_t claim = mClaimFrame.load(kSeqCst);
    return claim != kNoClaim && (before == kNoClaim || claim < before);
}

std::uint32_t MyRingBuffer::offsetFrom(std::int64_t origin, std::int64_t frame) const {
    if (mCapacityFrames == 0) {
        return 0;
    }
    // Both frame numbers lie within ±kFrameLimit, so the difference fits.
    std::int64_t slot = (frame - origin) % static_cast<std::int64_t>(mCapacityFrames);
    if (slot < 0) {
        slot += mCapacityFrames;
    }
    return static_cast<std::uint32_t>(slot) * mBytesPerFrame;
}

std::uint32_t MyRingBuffer::FrameOffset(std::int64_t frame) const {
    const std::int64_t origin = mOriginFrame.load(std::memory_order_relaxed);
    if (frame > kFrameLimit || frame < -kFrameLimit) {
        if (mCapacityFrames == 0) {
            return 0;
        }
        __int128 slot = (static_cast<__int128>(frame) - origin) % mCapacityFrames;
        if (slot < 0) {
            slot += mCapacityFrames;
        }
        return static_cast<std::uint32_t>(slot) * mBytesPerFrame;
    }
    return offsetFrom(origin, frame);
}

void MyRingBuffer::copyIn(std::int64_t start, std::int64_t end, const std::uint8_t* block) {
    if (start >= end) {
        return;
    }
    const std::uint32_t first = FrameOffset(start);
    const auto bytes = static_cast<std::uint32_t>(end - start) * mBytesPerFrame;
    const std::uint32_t head = std::min(bytes, mCapacityBytes - first);
    if (block != nullptr) {
        std::memcpy(mBuffer.get() + first, block, head);
        std::memcpy(mBuffer.get(), block + head, bytes - head);
    } else {
        std::memset(mBuffer.get() + first, 0, head);
        std::memset(mBuffer.get(), 0, bytes - head);
    }
}

void MyRingBuffer::zeroFrames(std::int64_t start, std::int64_t end) {
    copyIn(start, end, nullptr);
}

std::uint8_t MyRingBuffer::storeData(const void* data, std::uint32_t frames, std::int64_t time) {
    if (frames > mCapacityFrames || time > kFrameLimit || time < -kFrameLimit) {
        return 0;
    }
    if (frames == 0) {
        return 1;
    }
    const auto* block = static_cast<const std::uint8_t*>(data);
    const std::int64_t start = time;
    const std::int64_t end = start + frames;
    const std::int64_t startFrame = mStartFrame.load(std::memory_order_relaxed);
    const std::int64_t endFrame = mEndFrame.load(std::memory_order_relaxed);

    // A whole capacity or more ahead clears the ring; a ring that is already empty has
    // zeroed storage and nothing to lose. Either way the window restarts here.
    const bool clears = start >= endFrame + mCapacityFrames && (startFrame != 0 || endFrame != 0);
    if (clears || startFrame == 0) {
        mRewriting.store(true, kSeqCst);
        if (claimed(kNoClaim)) {
            mRewriting.store(false, kSeqCst);
            return 0;
        }
        if (clears) {
            std::memset(mBuffer.get(), 0, mCapacityBytes);
        }
        mOriginFrame.store(start, std::memory_order_release);
        mStartOffset.store(0, std::memory_order_relaxed);
        mStartFrame.store(start, kSeqCst);
        std::memcpy(mBuffer.get(), block, static_cast<std::size_t>(frames) * mBytesPerFrame);
        mEndFrame.store(end, std::memory_order_release);
        mRewriting.store(false, kSeqCst);
        return 1;
    }

    // Frames before the window are left out: they could never be fetched, and their
    // storage belongs to frames a whole capacity later, which may be in the window.
    const std::int64_t newStart =
        end > endFrame ? std::max(startFrame, end - static_cast<std::int64_t>(mCapacityFrames))
                       : startFrame;
    const std::int64_t from = std::max(start, newStart);
    const bool rewritesHeldFrames = from < std::min(end, endFrame);
    if (rewritesHeldFrames) {
        mRewriting.store(true, kSeqCst);
    }
    if (newStart != startFrame) {
        mStartFrame.store(newStart, kSeqCst);
    }
    if (rewritesHeldFrames || newStart != startFrame) {
        if (claimed(rewritesHeldFrames ? kNoClaim : newStart)) {
            mStartFrame.store(startFrame, kSeqCst);
            mRewriting.store(false, kSeqCst);
            return 0;
        }
    }
    mStartOffset.store(FrameOffset(newStart), std::memory_order_relaxed);
    if (start > endFrame) {
        zeroFrames(endFrame, start);
    }
    copyIn(from, end, block + (from - start) * mBytesPerFrame);
    if (end > endFrame) {
        mEndFrame.store(end, std::memory_order_release);
    }
    if (rewritesHeldFrames) {
        mRewriting.store(false, kSeqCst);
    }
    return 1;
}

double MyRingBuffer::fetchData(void* data, std::uint32_t frames, std::int64_t time,
                               bool* copied) const {
    if (copied != nullptr) {
        *copied = false;
    }
    if (time > kFrameLimit || time < -kFrameLimit) {
        // Far outside any window; the result in double cannot overflow.
        const auto startFrame = static_cast<double>(mStartFrame.load(kSeqCst));
        const auto endFrame = static_cast<double>(mEndFrame.load(std::memory_order_acquire));
        const auto start = static_cast<double>(time);
        return start < startFrame ? start - startFrame : start + frames - endFrame;
    }
    const std::int64_t start = time;
    const std::int64_t end = start + frames;
    // Nothing to copy, nothing to claim.
    if (frames != 0) {
        mClaimFrame.store(start, kSeqCst);
    }
    const bool rewriting = mRewriting.load(kSeqCst);
    const std::int64_t startFrame = mStartFrame.load(kSeqCst);
    const std::int64_t endFrame = mEndFrame.load(std::memory_order_acquire);
    const std::int64_t origin = mOriginFrame.load(std::memory_order_acquire);
    double result = 0;
    if (start < startFrame) {
        result = static_cast<double>(start - startFrame);
    } else if (end > endFrame) {
        result = static_cast<double>(end - endFrame);
    } else if (frames == 0) {
        result = static_cast<double>(endFrame - end);
        if (copied != nullptr) {
            *copied = true;
        }
    } else if (rewriting) {
        result = -static_cast<double>(frames);
    } else {
        auto* block = static_cast<std::uint8_t*>(data);
        const std::uint32_t first = offsetFrom(origin, start);
        const auto bytes = static_cast<std::uint32_t>(frames) * mBytesPerFrame;
        const std::uint32_t head = std::min(bytes, mCapacityBytes - first);
        std::memcpy(block, mBuffer.get() + first, head);
        std::memcpy(block + head, mBuffer.get(), bytes - head);
        result = static_cast<double>(endFrame - end);
        if (copied != nullptr) {
            *copied = true;
        }
    }
    if (frames != 0) {
        mClaimFrame.store(kNoClaim, std::memory_order_release);
    }
    return result;
}
