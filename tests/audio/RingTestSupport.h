#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// Frame contents that say which frame they belong to: two 32-bit words per frame, both
// derived from the frame number, so a frame from the wrong place or a torn frame shows.
inline void fillFrames(std::uint32_t* words, std::int64_t first, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i) {
        const auto frame = static_cast<std::uint64_t>(first + i);
        words[2 * i] = static_cast<std::uint32_t>(frame * 2654435761u);
        words[2 * i + 1] = static_cast<std::uint32_t>(frame >> 32) ^ 0x5A5A0000u ^
                           static_cast<std::uint32_t>(frame);
    }
}

inline std::vector<std::uint32_t> framesFrom(std::int64_t first, std::uint32_t frames) {
    std::vector<std::uint32_t> words(2 * static_cast<std::size_t>(frames));
    fillFrames(words.data(), first, frames);
    return words;
}
