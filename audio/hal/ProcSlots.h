#pragma once

// What every backend keeps of the procedures added to it, in one piece: a fixed table of
// slots, each procedure's life in a small state table, the call of a procedure with a block
// and its time stamp (which tells a procedure that stops itself from one stopped from
// outside), the one stream format the engine is given, and the current-time answer.
//
// A procedure's life, and its moves (moveLife refuses any other):
//   free     -> added      addIOProc (control thread)
//   added    -> running    start
//   running  -> added      a stop, from outside or from the procedure itself; or its stream
//                          ended by itself
//   added    -> free       removeIOProc (running is stopped first)
//   running  -> setAside   a stop that could not end the stream's thread: it stays open,
//                          never called, until the thread ends by itself
//   setAside -> free       that thread ended
// Threads: the table and the plain fields of a slot belong to the control thread, written
// while the slot is free; `life` is atomic, for the stream's thread to read and move too.

#include "AudioHardware.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

enum class ProcLife : std::uint8_t { free, added, running, setAside };

struct ProcSlot {
    AudioDeviceID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool isInput = false;
    std::atomic<ProcLife> life{ProcLife::free};

    bool inUse() const { return life.load(std::memory_order_acquire) != ProcLife::free; }
    // Sequentially consistent, so that a stop that moved the life and then looks whether a
    // call runs, and a call that says so and then looks at the life, never miss each other.
    bool running() const { return life.load(std::memory_order_seq_cst) == ProcLife::running; }
};

bool lifeMoveAllowed(ProcLife from, ProcLife to);
// Moves from `from` to `to` when the slot is in `from` and the move is allowed.
bool moveLife(ProcSlot& slot, ProcLife from, ProcLife to);

// Calls the slot's procedure with one interleaved block of `frames` frames of `channels`
// float channels at `sampleTime`, as its input or its output. The stream's thread.
void callProc(ProcSlot& slot, double sampleTime, float* block, std::uint32_t frames,
              std::uint32_t channels);
// The slot whose procedure is being called on this thread (null: none): a stop from inside
// a procedure is its own, and must not wait for the call to end.
ProcSlot* procOnThisThread();

// Two or more interleaved 32-bit float channels at `rate`: what every backend offers.
AudioStreamBasicDescription floatStreamFormat(double rate, std::uint32_t channels);
// Answers a current-time query with the sample time of the next block.
OSStatus answerSampleTime(double sampleTime, AudioTimeStamp* outTime);

template <class Slot, std::size_t N> class ProcSlots {
public:
    Slot* find(AudioDeviceID device, AudioDeviceIOProc proc) {
        for (Slot& slot : mSlots) {
            const ProcLife life = slot.life.load(std::memory_order_acquire);
            if (life != ProcLife::free && life != ProcLife::setAside && slot.device == device &&
                slot.proc == proc) {
                return &slot;
            }
        }
        return nullptr;
    }
    // A free slot filled with the procedure, not yet added (null: none is free, or the
    // procedure is added already); addIOProc moves it to added once its stream opened.
    Slot* take(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData, bool isInput) {
        if (proc == nullptr || find(device, proc) != nullptr) {
            return nullptr;
        }
        for (Slot& slot : mSlots) {
            if (!slot.inUse()) {
                slot.device = device;
                slot.proc = proc;
                slot.clientData = clientData;
                slot.isInput = isInput;
                return &slot;
            }
        }
        return nullptr;
    }
    bool hasInput(AudioDeviceID device) const {
        for (const Slot& slot : mSlots) {
            if (slot.inUse() && slot.device == device && slot.isInput &&
                slot.life.load(std::memory_order_acquire) != ProcLife::setAside) {
                return true;
            }
        }
        return false;
    }
    bool anyInUse() const {
        for (const Slot& slot : mSlots) {
            if (slot.inUse()) {
                return true;
            }
        }
        return false;
    }
    Slot* begin() { return mSlots; }
    Slot* end() { return mSlots + N; }
    const Slot* begin() const { return mSlots; }
    const Slot* end() const { return mSlots + N; }

private:
    Slot mSlots[N];
};
