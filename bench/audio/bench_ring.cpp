// Store and fetch of one IO block (512 two-channel float frames, 4096 bytes) beside a
// plain memcpy of the same bytes. Goal: each ring operation within 2 × the memcpy.
#include "MyRingBuffer.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kFrames = 512;
constexpr std::int32_t kFrameBytes = 8;
constexpr std::int32_t kCapacity = 88200;
constexpr std::size_t kBlockBytes = kFrames * kFrameBytes;

std::vector<std::uint8_t> block() {
    std::vector<std::uint8_t> bytes(kBlockBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
}

// A ring of two seconds at 44100 Hz, filled to capacity from frame 1.
void fill(MyRingBuffer& ring, std::int64_t& end) {
    ring.AllocateBytes(kFrameBytes, kCapacity);
    const auto bytes = block();
    end = 1;
    while (ring.endFrame() - ring.startFrame() < kCapacity) {
        ring.storeData(bytes.data(), kFrames, end);
        end += kFrames;
    }
}

void BM_MemcpyHot(benchmark::State& state) {
    const auto source = block();
    std::vector<std::uint8_t> target(kBlockBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kBlockBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockBytes));
}
BENCHMARK(BM_MemcpyHot);

// memcpy into successive blocks of a ring-sized buffer, as the store walks its storage.
void BM_MemcpyWalking(benchmark::State& state) {
    const auto source = block();
    std::vector<std::uint8_t> storage(static_cast<std::size_t>(kCapacity) * kFrameBytes);
    const std::size_t blocks = storage.size() / kBlockBytes;
    std::size_t next = 0;
    for (auto _ : state) {
        std::memcpy(storage.data() + next * kBlockBytes, source.data(), kBlockBytes);
        benchmark::ClobberMemory();
        next = next + 1 == blocks ? 0 : next + 1;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockBytes));
}
BENCHMARK(BM_MemcpyWalking);

// The input procedure's store: each block at the window's end, dropping the oldest.
void BM_StoreSteady(benchmark::State& state) {
    MyRingBuffer ring;
    std::int64_t end = 0;
    fill(ring, end);
    const auto bytes = block();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.storeData(bytes.data(), kFrames, end));
        end += kFrames;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockBytes));
}
BENCHMARK(BM_StoreSteady);

// A ring of one block whose window starts half a block into the storage: every store
// runs past the end of the storage and is split.
void BM_StoreWrapping(benchmark::State& state) {
    MyRingBuffer ring;
    ring.AllocateBytes(kFrameBytes, kFrames);
    const auto bytes = block();
    ring.storeData(bytes.data(), kFrames / 2, 1);
    std::int64_t end = 1 + kFrames / 2;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.storeData(bytes.data(), kFrames, end));
        end += kFrames;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockBytes));
}
BENCHMARK(BM_StoreWrapping);

// The output procedure's fetch: successive blocks of a full ring.
void BM_FetchSteady(benchmark::State& state) {
    MyRingBuffer ring;
    std::int64_t end = 0;
    fill(ring, end);
    std::vector<std::uint8_t> target(kBlockBytes);
    std::int64_t t = ring.startFrame();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.fetchData(target.data(), kFrames, t));
        benchmark::ClobberMemory();
        t = t + 2 * kFrames > ring.endFrame() ? ring.startFrame() : t + kFrames;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockBytes));
}
BENCHMARK(BM_FetchSteady);

// A fetch whose frames straddle the end of the storage: two copies each time.
void BM_FetchWrapping(benchmark::State& state) {
    MyRingBuffer ring;
    std::int64_t end = 0;
    fill(ring, end);
    std::vector<std::uint8_t> target(kBlockBytes);
    std::int64_t t = ring.startFrame();
    while (ring.FrameOffset(t) != (kCapacity - kFrames / 2) * kFrameBytes) {
        ++t;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.fetchData(target.data(), kFrames, t));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockBytes));
}
BENCHMARK(BM_FetchWrapping);

} // namespace
