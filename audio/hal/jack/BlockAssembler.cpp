#include "BlockAssembler.h"

#include <algorithm>
#include <cstring>

namespace {

// A pitch needs no more than the fastest of libsamplerate's band-limited converters: its
// pass band reaches far above a guitar's strings, and it keeps a 64-frame period cheap.
constexpr int kConverter = SRC_SINC_FASTEST;

} // namespace

BlockAssembler::~BlockAssembler() {
    if (mResampler != nullptr) {
        src_delete(mResampler);
    }
}

bool BlockAssembler::prepare(double serverRate) {
    if (mResampler != nullptr) {
        mResampler = src_delete(mResampler);
    }
    mServerRate = serverRate;
    mRatio = serverRate > 0.0 ? mEngineRate / serverRate : 0.0;
    reset();
    if (serverRate == mEngineRate) {
        return true;
    }
    if (serverRate <= 0.0 || src_is_valid_ratio(mRatio) == 0) {
        return false;
    }
    int error = 0;
    mResampler = src_new(kConverter, 1, &error);
    return mResampler != nullptr;
}

void BlockAssembler::reset() {
    if (mResampler != nullptr) {
        src_reset(mResampler);
    }
    mFilled = 0;
    mBlockStart = 0;
    mServerFrames = 0;
}

std::uint32_t BlockAssembler::convert(const float* samples, std::uint32_t frames) {
    const std::uint32_t room = kBlockFrames - mFilled;
    if (mResampler == nullptr) {
        const std::uint32_t taken = std::min(frames, room);
        std::memcpy(mBlock + mFilled, samples, taken * sizeof(float));
        mFilled += taken;
        return taken;
    }
    SRC_DATA data{};
    data.data_in = samples;
    data.input_frames = frames;
    data.data_out = mBlock + mFilled;
    data.output_frames = room;
    data.src_ratio = mRatio;
    if (src_process(mResampler, &data) != 0) {
        return frames; // cannot happen with the ratio checked in prepare; drop rather than spin
    }
    mFilled += static_cast<std::uint32_t>(data.output_frames_gen);
    return static_cast<std::uint32_t>(data.input_frames_used);
}

bool BlockAssembler::drain() {
    const float none = 0.0f;
    SRC_DATA data{};
    data.data_in = &none;
    data.data_out = mBlock + mFilled;
    data.output_frames = kBlockFrames - mFilled;
    data.end_of_input = 1;
    data.src_ratio = mRatio;
    if (src_process(mResampler, &data) != 0) {
        return false;
    }
    mFilled += static_cast<std::uint32_t>(data.output_frames_gen);
    return data.output_frames_gen > 0;
}
