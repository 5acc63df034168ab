#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

// The most recent stretch of one audio stream, kept as whole frames of mBytesPerFrame
// opaque bytes, each known by its absolute frame number. A block is stored under the
// number of its first frame and fetched back by frame number; storing past the end moves
// the window forward, zero-fills any gap and drops the oldest frames at capacity.
//
// Threads: one thread stores (storeData), one other thread may fetch (fetchData) at the
// same time; neither side locks, waits or allocates. AllocateBytes and Clear are not
// thread-safe: call them before the threads use the ring.
//
// How store and fetch share the storage without a data race: they never touch the same
// bytes at the same time, so both copy with plain memcpy.
// - A fetch announces the first frame it will copy in mClaimFrame, then reads the
//   window; a store announces what it is about to overwrite (a raised mStartFrame for
//   the frames it drops, or mRewriting for frames still held, a restart or a clear),
//   then reads mClaimFrame. Announcements and reads are sequentially consistent, so at least one
//   side sees the other's announcement: either the fetch sees the moved window and misses without
//   copying, or the store sees the claim on frames it would overwrite and is refused (result 0),
//   leaving the ring as it was.
// - A store publishes mEndFrame (release) after its bytes are in place, and a fetch
//   releases its claim after its copy; the acquiring loads on the other side order the
//   copies.
// A fetch therefore either copies whole, consistent frames or misses. A store is refused
// only while a fetch is copying the very frames it would drop (the fetch lags a whole
// capacity behind) or while any fetch copies during a rewrite, restart or clear.
class MyRingBuffer {
public:
    MyRingBuffer() = default;
    ~MyRingBuffer() = default;
    MyRingBuffer(const MyRingBuffer&) = delete;
    MyRingBuffer& operator=(const MyRingBuffer&) = delete;

    // Replaces the storage with bytesPerFrame × capacityFrames zeroed bytes and empties
    // the ring. Non-positive arguments, a product beyond 32 bits or a failed allocation
    // leave the ring without storage: it then refuses every store of frames and every
    // fetch of frames misses.
    void AllocateBytes(std::int32_t bytesPerFrame, std::int32_t capacityFrames);

    // Zeroes the storage and empties the ring. Not while a fetch may run (a store that
    // clears checks for one itself).
    void Clear();

    // Stores frames [time, time + frames) from data. Returns 0, reading nothing, when
    // frames exceeds the capacity, time lies outside ±kFrameLimit or a concurrent fetch
    // is copying frames the store would overwrite; 1 otherwise. Frames of the block that
    // lie before the window are not kept (they could never be fetched, and their storage
    // holds frames of the window). Zero frames: reads nothing, changes nothing, returns 1.
    std::uint8_t storeData(const void* data, std::uint32_t frames, std::int64_t time);

    // Fetches frames [time, time + frames) into data. Results:
    //   negative: the request begins that many frames before the window, or -frames
    //             while a concurrent store rewrites held frames; nothing written.
    //   positive, request past the end: it reaches that many frames past the window's
    //             end; nothing written.
    //   zero or positive, success: the frames were copied; the window holds that many
    //             frames after them.
    // Since a positive result may mean either, `copied` (when given) tells which.
    double fetchData(void* data, std::uint32_t frames, std::int64_t time,
                     bool* copied = nullptr) const;

    // Byte offset in the storage at which frame lies, wrapping in both directions.
    std::uint32_t FrameOffset(std::int64_t frame) const;

    std::uint32_t bytesPerFrame() const { return mBytesPerFrame; }
    std::uint32_t capacityFrames() const { return mCapacityFrames; }
    std::uint32_t capacityBytes() const { return mCapacityBytes; }
    const std::uint8_t* storage() const;
    std::uint32_t startOffset() const { return mStartOffset.load(std::memory_order_relaxed); }
    std::int64_t startFrame() const { return mStartFrame.load(std::memory_order_relaxed); }
    std::int64_t endFrame() const { return mEndFrame.load(std::memory_order_relaxed); }

    // Frame numbers beyond this magnitude are refused, so that no sum of a frame number,
    // a count and a capacity can overflow.
    static constexpr std::int64_t kFrameLimit = std::int64_t{1} << 62;

private:
    static constexpr std::int64_t kNoClaim = std::numeric_limits<std::int64_t>::max();

    // Whether a fetch is copying frames below before (any frame for kNoClaim).
    bool claimed(std::int64_t before) const;
    std::uint32_t offsetFrom(std::int64_t origin, std::int64_t frame) const;
    // Moves frames [start, end) between the storage and a contiguous block (zeros when
    // block is null), in two pieces when the range wraps past the end of the storage.
    void copyIn(std::int64_t start, std::int64_t end, const std::uint8_t* block);
    void zeroFrames(std::int64_t start, std::int64_t end);

    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mCapacityFrames = 0;
    std::uint32_t mCapacityBytes = 0;
    std::unique_ptr<std::uint8_t[]> mBuffer;
    std::atomic<std::uint32_t> mStartOffset{0};
    std::atomic<std::int64_t> mStartFrame{0};
    std::atomic<std::int64_t> mEndFrame{0};
    // Frame number at storage offset 0: the mapping from frames to offsets changes only
    // when the window restarts (under mRewriting), so a fetch places frames with it
    // instead of reading the moving mStartFrame/mStartOffset pair.
    std::atomic<std::int64_t> mOriginFrame{0};
    std::atomic<bool> mRewriting{false};
    // First frame a fetch is copying, or kNoClaim. Written by the fetching side only.
    mutable std::atomic<std::int64_t> mClaimFrame{kNoClaim};
};
