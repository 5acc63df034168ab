// The tuner state shared between the audio thread's intake and the main thread's frames,
// and the handover of the analysis window's array. Run under ThreadSanitizer.
#include "SampleWindowHandover.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace {

// A plucked-string-like block: a decaying fundamental with two overtones, all within ±1.
void fillBlock(std::vector<float>& block, std::int64_t& t, double frequency, double& level) {
    constexpr double kTwoPi = 6.283185307179586;
    for (float& sample : block) {
        const double phase = kTwoPi * frequency * static_cast<double>(t) / 44100.0;
        sample = static_cast<float>(level * (0.6 * std::sin(phase) + 0.25 * std::sin(2 * phase) +
                                             0.1 * std::sin(3 * phase)));
        level *= 0.99995;
        ++t;
    }
}

} // namespace

// The intake runs on one thread, changing its block length every few windows so that the
// array is rebuilt under a reader, while another thread acts as the main thread: it reads
// every field a frame reads, reads the window through the handover, draws whole frames,
// clicks string buttons and toggles the automatic choice.
TEST(AnalysisConcurrency, IntakeAgainstFramesAndClicks) {
    SoundView view(NSMakeRect(0, 0, 700, 300));
    const std::uint32_t lengths[] = {512, 256, 700, 512, 64, 1024};
    std::set<std::int32_t> allowedSizes = {0};
    for (std::uint32_t n : lengths) {
        allowedSizes.insert(static_cast<std::int32_t>(4 * n));
    }

    std::atomic<bool> audioDone{false};
    std::atomic<int> analyses{0};
    std::thread audio([&] {
        std::vector<float> block;
        std::int64_t t = 0;
        double level = 0.0;
        const double notes[] = {329.63, 110.0, 196.0};
        for (int round = 0; round < 120; ++round) {
            block.resize(lengths[round % 6]);
            if (round % 5 == 0) {
                level = 0.9; // a new strike
            }
            // Blocks of this length for two windows plus one, so rebuilds also fall mid-window.
            for (int b = 0; b < 9; ++b) {
                fillBlock(block, t, notes[round % 3], level);
                view.filterInput(block.data(), nullptr, static_cast<std::uint32_t>(block.size()),
                                 0);
                if (view.mCurrentStep == 0) {
                    analyses.fetch_add(1, std::memory_order_relaxed);
                }
            }
        }
        audioDone.store(true, std::memory_order_release);
    });

    int frames = 0;
    int windowsRead = 0;
    std::set<std::int32_t> sizesSeen;
    bool flagsExact = true;
    bool indicesInRange = true;
    bool samplesInRange = true;
    bool sizesAllowed = true;
    NSControl toggle;
    const NSPoint buttons[] = {NSMakePoint(10, 10), NSMakePoint(32, 10), NSMakePoint(120, 10)};
    while (!audioDone.load(std::memory_order_acquire) || frames < 3) {
        // The scalars a frame and the readouts take.
        const float stable = view.mFrequencyStable;
        const float inTune = view.mInTune;
        flagsExact &= (stable == 0.0f || stable == 1.0f) && (inTune == 0.0f || inTune == 1.0f);
        const std::int32_t selected = view.selectedFrequency;
        indicesInRange &= selected >= 0 && selected <= 5;
        const std::int32_t step = view.mCurrentStep;
        indicesInRange &= step >= 0 && step < 4;
        const std::int32_t first = view.mFirstPeriod;
        indicesInRange &= first == -1 || first >= 0;
        const float volume = view.mCurrentVolume;
        const float highest = view.mHighestVolume;
        samplesInRange &= volume <= 1.0f && highest <= 1.0f;
        sizesAllowed &= allowedSizes.count(view.mSampleBufferSize) == 1;
        (void)view.mFrequency.load();
        (void)view.mDisplayFrequency.load();
        (void)view.mSamplesToDraw.load();
        (void)view.mSamplePeriod.load();
        (void)view.autoSelect.load();

        // The window itself, held while it is read.
        {
            SampleWindowHandover::Reader reader(view.mWindowHandover);
            if (reader.samples() != nullptr) {
                ++windowsRead;
                sizesSeen.insert(reader.size());
                sizesAllowed &= allowedSizes.count(reader.size()) == 1;
                for (std::int32_t i = 0; i < reader.size(); ++i) {
                    const float s = reader.samples()[i].load(std::memory_order_relaxed);
                    samplesInRange &= s >= -1.0f && s <= 1.0f;
                }
            }
        }

        // What the main thread does besides: frames, clicks and the toggle.
        view.takeNeedsDisplay();
        view.display();
        view.mouseUp(NSEvent(buttons[frames % 3]));
        if (frames % 7 == 0) {
            view.toggleAutoSelect(&toggle);
        }
        ++frames;
    }
    audio.join();

    EXPECT_TRUE(flagsExact);
    EXPECT_TRUE(indicesInRange);
    EXPECT_TRUE(samplesInRange);
    EXPECT_TRUE(sizesAllowed);
    EXPECT_GT(windowsRead, 0);
    // 120 rounds of 9 blocks, each round starting at the slot the last one left: 270 windows.
    EXPECT_EQ(analyses.load(), 270);
    EXPECT_EQ(view.mSampleBufferSize, 4 * 1024);
    // Every array the reader held was still alive; the last ones are freed with the view,
    // which AddressSanitizer and LeakSanitizer check.
}

// The handover alone: a held array outlives its replacement, retired arrays are freed once
// no reader is inside, and the writer goes on replacing while a reader holds on.
TEST(SampleWindowHandover, KeepsHeldArraysAndFreesRetiredOnes) {
    SampleWindowHandover handover;
    {
        SampleWindowHandover::Reader empty(handover);
        EXPECT_EQ(empty.samples(), nullptr);
        EXPECT_EQ(empty.size(), 0);
    }

    SharedFloat* const first = handover.replace(8);
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(first[i].load(), 0.0f); // zero-filled
        first[i].store(static_cast<float>(i));
    }
    {
        SampleWindowHandover::Reader held(handover);
        ASSERT_EQ(held.samples(), first);
        // Replaced five times while held: more than any fixed number of slots.
        for (int k = 0; k < 5; ++k) {
            ASSERT_NE(handover.replace(16 + k), nullptr);
        }
        EXPECT_EQ(handover.retiredCount(), 5);
        // The held array is intact (AddressSanitizer would flag a freed one).
        EXPECT_EQ(held.size(), 8);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(held.samples()[i].load(), static_cast<float>(i));
        }
        SampleWindowHandover::Reader later(handover);
        EXPECT_EQ(later.size(), 20);
    }
    // With no reader inside, the next replacement frees everything retired.
    ASSERT_NE(handover.replace(4), nullptr);
    EXPECT_EQ(handover.retiredCount(), 0);

    // Across threads: a reader holds an array until the writer has replaced it many
    // times; the writer never waits for it, and the reader still reads what it took.
    SharedFloat* const taken = handover.replace(64);
    for (int i = 0; i < 64; ++i) {
        taken[i].store(1.5f);
    }
    std::atomic<bool> holding{false};
    std::atomic<bool> writerDone{false};
    bool intact = true;
    std::thread reader([&] {
        SampleWindowHandover::Reader held(handover);
        holding.store(true, std::memory_order_release);
        while (!writerDone.load(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
        for (std::int32_t i = 0; i < held.size(); ++i) {
            intact &= held.samples()[i].load(std::memory_order_relaxed) == 1.5f;
        }
        intact &= held.size() == 64;
    });
    while (!holding.load(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
    for (int k = 0; k < 100; ++k) {
        ASSERT_NE(handover.replace(32), nullptr);
    }
    EXPECT_EQ(handover.retiredCount(), 100);
    writerDone.store(true, std::memory_order_release);
    reader.join();
    EXPECT_TRUE(intact);
    handover.replace(32);
    EXPECT_EQ(handover.retiredCount(), 0);
}

// Readers and a writer at full speed: readers always see a whole, live array.
TEST(SampleWindowHandover, ReadersRaceReplacements) {
    SampleWindowHandover handover;
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::atomic<bool> consistent{true};
    auto readLoop = [&] {
        while (!done.load(std::memory_order_acquire)) {
            SampleWindowHandover::Reader reader(handover);
            if (reader.samples() == nullptr) {
                continue;
            }
            // Each array is filled with its own size before it is published.
            const float expected = static_cast<float>(reader.size());
            for (std::int32_t i = 0; i < reader.size(); ++i) {
                const float s = reader.samples()[i].load(std::memory_order_relaxed);
                if (s != expected && s != 0.0f) {
                    consistent.store(false);
                }
            }
            reads.fetch_add(1, std::memory_order_relaxed);
        }
    };
    std::thread a(readLoop);
    std::thread b(readLoop);
    // Until both readers have had many turns, however the threads are scheduled.
    for (int k = 0; k < 3000 || reads.load(std::memory_order_relaxed) < 500; ++k) {
        const std::int32_t size = 16 + k % 50;
        SharedFloat* const samples = handover.replace(size);
        ASSERT_NE(samples, nullptr);
        for (std::int32_t i = 0; i < size; ++i) {
            samples[i].store(static_cast<float>(size), std::memory_order_relaxed);
        }
    }
    done.store(true, std::memory_order_release);
    a.join();
    b.join();
    EXPECT_TRUE(consistent.load());
    EXPECT_GT(reads.load(), 0);
}
