#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

// The most recent stretch of one audio stream, kept as whole frames of mBytesPerFrame
// opaque bytes, each known by its absolute frame number. A block is stored under the
// number of its first frame and fetched back by frame number; storing past the end moves
// the window forward, zero-fills any gap and drops the oldest frames at capacity.
//
// Threads: one thread stores (storeData, Clear), one other thread may fetch (fetchData)
// at the same time; neither side locks, waits or allocates. AllocateBytes is not
// thread-safe: call it before either thread uses the ring.
//
// How a fetch stays consistent while a store runs (seqlock-style, race-free):
// - Every byte of the storage is read and written through 64-bit atomic accesses to
//   whole words (stores release, loads acquire; both plain moves on x86), so a copy that
//   overlaps a store is never a data race. It may see a mix of old and new words, which
//   the checks below turn into a miss.
// - The storing side publishes mEndFrame with release only after the new frames' bytes
//   are in place, so a fetch that acquires mEndFrame sees every frame below it.
// - Before it reuses the storage of dropped frames, the storing side raises mStartFrame.
//   A fetch that read any reused word acquired it from a store that follows the raise,
//   so its reload of mStartFrame after the copy sees the raise and the fetch misses.
// - Storing over frames still held, restarting the window (the store into an empty
//   ring) and Clear are bracketed by mRewriteCount going odd and back to even; a fetch
//   that sees the count odd or changed misses.
// A fetch torn by a concurrent store leaves zeros in the destination and returns a
// negative result (see fetchData).
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

    // Zeroes the storage and empties the ring. Storing side only.
    void Clear();

    // Stores frames [time, time + frames) from data. Returns 0, reading nothing, when
    // frames exceeds the capacity or time lies outside ±kFrameLimit; 1 otherwise. Frames
    // of the block that lie before the window are not kept (they could never be fetched,
    // and their storage holds frames of the window). Zero frames: reads nothing, changes
    // nothing, returns 1.
    std::uint8_t storeData(const void* data, std::uint32_t frames, std::int64_t time);

    // Fetches frames [time, time + frames) into data. Results:
    //   negative: the request begins that many frames before the window; nothing
    //             written. A fetch torn by a concurrent store also misses: zeros written,
    //             and the distance to the moved window, or -frames when the window did
    //             not move past the request (its frames were rewritten while copied).
    //   positive, request past the end: it reaches that many frames past the window's
    //             end; nothing written.
    //   zero or positive, success: the frames were copied; the window holds that many
    //             frames after them.
    double fetchData(void* data, std::uint32_t frames, std::int64_t time) const;

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
    void beginRewrite();
    void endRewrite();
    void restartWindow(std::int64_t start);
    std::uint32_t offsetFrom(std::int64_t origin, std::int64_t frame) const;
    // Moves frames [start, end) between the storage and a contiguous block, in at most
    // two pieces when the range wraps.
    void copyIn(std::int64_t start, std::int64_t end, const std::uint8_t* block);
    void copyOut(std::int64_t origin, std::int64_t start, std::int64_t end,
                 std::uint8_t* block) const;
    void zeroFrames(std::int64_t start, std::int64_t end);
    void clearWindow();

    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mCapacityFrames = 0;
    std::uint32_t mCapacityBytes = 0;
    // Whole 64-bit words so that every access can be atomic; the last word may carry
    // padding past mCapacityBytes.
    std::unique_ptr<std::uint64_t[]> mBuffer;
    std::atomic<std::uint32_t> mStartOffset{0};
    std::atomic<std::int64_t> mStartFrame{0};
    std::atomic<std::int64_t> mEndFrame{0};
    // Frame number at storage offset 0. It changes only when the window restarts, under
    // mRewriteCount, so a fetch can place frames without reading the moving
    // mStartFrame/mStartOffset pair.
    std::atomic<std::int64_t> mOriginFrame{0};
    std::atomic<std::uint64_t> mRewriteCount{0};
};
