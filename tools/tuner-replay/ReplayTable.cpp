// The replay's tab-separated table.
#include "ReplayTable.h"

#include <charconv>

namespace {

template <class T> void append(std::string& out, T value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

void appendTime(std::string& out, double seconds) {
    char text[32];
    const auto result =
        std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 6);
    out.append(text, result.ptr);
}

} // namespace

const std::string& replayHeader() {
    static const std::string header =
        "time\tmCurrentVolume\tmSamplePeriod\tmCurrentFrequency\tmFrequency\tmDisplayFrequency\t"
        "mFrequencyStable\tmInTune\tselectedFrequency\tmSinceAttack\n";
    return header;
}

void appendReplayLine(std::string& out, const ReplayReading& reading) {
    appendTime(out, reading.time);
    const float floats[] = {
        reading.mCurrentVolume, reading.mSamplePeriod,     reading.mCurrentFrequency,
        reading.mFrequency,     reading.mDisplayFrequency, reading.mFrequencyStable,
        reading.mInTune};
    for (float value : floats) {
        out.push_back('\t');
        append(out, value);
    }
    out.push_back('\t');
    append(out, reading.selectedFrequency);
    out.push_back('\t');
    append(out, reading.mSinceAttack);
    out.push_back('\n');
}
