#include "audio/MyRingBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr std::uint32_t kWordBytes = sizeof(std::uint64_t);

std::uint64_t loadWord(const std::uint64_t& word) {
    return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(word))
        .load(std::memory_order_acquire);
}

void storeWord(std::uint64_t& word, std::uint64_t value) {
    std::atomic_ref<std::uint64_t>(word).store(value, std::memory_order_release);
}

// Bytes [offset, offset + count) of the word storage into block.
void loadBytes(const std::uint64_t* words, std::uint32_t offset, std::uint8_t* block,
               std::uint32_t count) {
    const std::uint64_t* word = words + offset / kWordBytes;
    const std::uint32_t skip = offset % kWordBytes;
    if (skip != 0 && count != 0) {
        const std::uint64_t value = loadWord(*word++);
        const std::uint32_t piece = std::min(kWordBytes - skip, count);
        std::memcpy(block, reinterpret_cast<const std::uint8_t*>(&value) + skip, piece);
        block += piece;
        count -= piece;
    }
    for (; count >= kWordBytes; count -= kWordBytes, block += kWordBytes) {
        const std::uint64_t value = loadWord(*word++);
        std::memcpy(block, &value, kWordBytes);
    }
    if (count != 0) {
        const std::uint64_t value = loadWord(*word);
        std::memcpy(block, &value, count);
    }
}

// Bytes of block (or zeros when block is null) into [offset, offset + count) of the word
// storage. Only the storing side writes, so a partial word is merged from its own value.
void storeBytes(std::uint64_t* words, std::uint32_t offset, const std::uint8_t* block,
                std::uint32_t count) {
    std::uint64_t* word = words + offset / kWordBytes;
    const std::uint32_t skip = offset % kWordBytes;
    auto merge = [&](std::uint64_t& target, std::uint32_t at, std::uint32_t piece) {
        std::uint64_t value = loadWord(target);
        auto* bytes = reinterpret_cast<std::uint8_t*>(&value) + at;
        if (block != nullptr) {
            std::memcpy(bytes, block, piece);
            block += piece;
        } else {
            std::memset(bytes, 0, piece);
        }
        storeWord(target, value);
    };
    if (skip != 0 && count != 0) {
        const std::uint32_t piece = std::min(kWordBytes - skip, count);
        merge(*word++, skip, piece);
        count -= piece;
    }
    if (block != nullptr) {
        for (; count >= kWordBytes; count -= kWordBytes, block += kWordBytes) {
            std::uint64_t value;
            std::memcpy(&value, block, kWordBytes);
            storeWord(*word++, value);
        }
    } else {
        for (; count >= kWordBytes; count -= kWordBytes) {
            storeWord(*word++, 0);
        }
    }
    if (count != 0) {
        merge(*word, 0, count);
    }
}

} // namespace

void MyRingBuffer::AllocateBytes(std::int32_t bytesPerFrame, std::int32_t capacityFrames) {
    mBuffer.reset();
    mBytesPerFrame = 0;
    mCapacityFrames = 0;
    mCapacityBytes = 0;
    const std::uint64_t bytes = static_cast<std::uint64_t>(std::max(bytesPerFrame, 0)) *
                                static_cast<std::uint64_t>(std::max(capacityFrames, 0));
    if (bytes != 0 && bytes <= std::numeric_limits<std::uint32_t>::max()) {
        mBuffer.reset(new (std::nothrow) std::uint64_t[(bytes + kWordBytes - 1) / kWordBytes]);
        if (mBuffer) {
            mBytesPerFrame = static_cast<std::uint32_t>(bytesPerFrame);
            mCapacityFrames = static_cast<std::uint32_t>(capacityFrames);
            mCapacityBytes = static_cast<std::uint32_t>(bytes);
        }
    }
    Clear();
}

void MyRingBuffer::Clear() {
    beginRewrite();
    if (mBuffer) {
        storeBytes(mBuffer.get(), 0, nullptr, mCapacityBytes);
    }
    clearWindow();
    endRewrite();
}

void MyRingBuffer::clearWindow() {
    mEndFrame.store(0, std::memory_order_release);
    mStartOffset.store(0, std::memory_order_release);
    mStartFrame.store(0, std::memory_order_release);
    mOriginFrame.store(0, std::memory_order_release);
}

const std::uint8_t* MyRingBuffer::storage() const {
    return reinterpret_cast<const std::uint8_t*>(mBuffer.get());
}

void MyRingBuffer::beginRewrite() {
    mRewriteCount.store(mRewriteCount.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
}

void MyRingBuffer::endRewrite() {
    mRewriteCount.store(mRewriteCount.load(std::memory_order_relaxed) + 1,
                        std::memory_order_release);
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
    storeBytes(mBuffer.get(), first, block, head);
    if (head < bytes) {
        storeBytes(mBuffer.get(), 0, block == nullptr ? nullptr : block + head, bytes - head);
    }
}

void MyRingBuffer::zeroFrames(std::int64_t start, std::int64_t end) {
    copyIn(start, end, nullptr);
}

void MyRingBuffer::copyOut(std::int64_t origin, std::int64_t start, std::int64_t end,
                           std::uint8_t* block) const {
    const std::uint32_t first = offsetFrom(origin, start);
    const auto bytes = static_cast<std::uint32_t>(end - start) * mBytesPerFrame;
    const std::uint32_t head = std::min(bytes, mCapacityBytes - first);
    loadBytes(mBuffer.get(), first, block, head);
    if (head < bytes) {
        loadBytes(mBuffer.get(), 0, block + head, bytes - head);
    }
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
    std::int64_t startFrame = mStartFrame.load(std::memory_order_relaxed);
    std::int64_t endFrame = mEndFrame.load(std::memory_order_relaxed);

    if (start >= endFrame + mCapacityFrames) {
        // A ring that is already empty has zeroed storage and nothing to lose.
        if (startFrame != 0 || endFrame != 0) {
            Clear();
        }
        startFrame = 0;
        endFrame = 0;
    }

    if (startFrame == 0) {
        beginRewrite();
        mOriginFrame.store(start, std::memory_order_release);
        mStartOffset.store(0, std::memory_order_release);
        mStartFrame.store(start, std::memory_order_release);
        storeBytes(mBuffer.get(), 0, block, frames * mBytesPerFrame);
        mEndFrame.store(end, std::memory_order_release);
        endRewrite();
        return 1;
    }

    if (end > endFrame) {
        const bool rewritesHeldFrames = start < endFrame;
        if (rewritesHeldFrames) {
            beginRewrite();
        }
        if (startFrame < end - mCapacityFrames) {
            // Raised before any dropped frame's storage is reused; see the class comment.
            startFrame = end - mCapacityFrames;
            mStartOffset.store(FrameOffset(startFrame), std::memory_order_release);
            mStartFrame.store(startFrame, std::memory_order_release);
        }
        if (start > endFrame) {
            zeroFrames(endFrame, start);
        }
        const std::int64_t from = std::max(start, startFrame);
        copyIn(from, end, block + (from - start) * mBytesPerFrame);
        mEndFrame.store(end, std::memory_order_release);
        if (rewritesHeldFrames) {
            endRewrite();
        }
        return 1;
    }

    // Wholly at or before the window's end: the window stays and the frames it holds are
    // overwritten. Frames before the window are left out: their storage belongs to frames
    // a whole capacity later, which may be in the window.
    const std::int64_t from = std::max(start, startFrame);
    if (from < end) {
        beginRewrite();
        copyIn(from, end, block + (from - start) * mBytesPerFrame);
        endRewrite();
    }
    return 1;
}

double MyRingBuffer::fetchData(void* data, std::uint32_t frames, std::int64_t time) const {
    const std::uint64_t rewriteCount = mRewriteCount.load(std::memory_order_acquire);
    const std::int64_t endFrame = mEndFrame.load(std::memory_order_acquire);
    const std::int64_t startFrame = mStartFrame.load(std::memory_order_acquire);
    const std::int64_t origin = mOriginFrame.load(std::memory_order_acquire);
    if (time > kFrameLimit || time < -kFrameLimit) {
        // Far outside any window; the result in double avoids overflowing the sum.
        return time < startFrame
                   ? static_cast<double>(time) - static_cast<double>(startFrame)
                   : static_cast<double>(time) + frames - static_cast<double>(endFrame);
    }
    const std::int64_t start = time;
    const std::int64_t end = start + frames;
    if (start < startFrame) {
        return static_cast<double>(start - startFrame);
    }
    if (end > endFrame) {
        return static_cast<double>(end - endFrame);
    }
    if (frames == 0) {
        return static_cast<double>(endFrame - end);
    }
    if (rewriteCount % 2 != 0) {
        return -static_cast<double>(frames);
    }

    auto* block = static_cast<std::uint8_t*>(data);
    copyOut(origin, start, end, block);

    // Every load above was an acquire of a value the storing side released: seeing any
    // word or field of a later store makes that store's raise of mStartFrame, or its odd
    // rewrite count, visible here.
    const std::int64_t startAfter = mStartFrame.load(std::memory_order_relaxed);
    const bool rewritten = mRewriteCount.load(std::memory_order_relaxed) != rewriteCount;
    if (start < startAfter || rewritten) {
        std::memset(block, 0, static_cast<std::size_t>(frames) * mBytesPerFrame);
        return start < startAfter ? static_cast<double>(start - startAfter)
                                  : -static_cast<double>(frames);
    }
    return static_cast<double>(endFrame - end);
}
