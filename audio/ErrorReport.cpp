// The error reporter through which the status of every hardware call passes.
#include "MySoundPort.h"

#include "Diagnostics.h"

#include <cstdio>

void MySoundPort::checkError(OSStatus status, const char* label) {
    if (status == 0) {
        return;
    }
    // The status's bytes, most significant first, up to the first zero byte: a
    // four-character code reads as itself, a small negative status as raw bytes.
    const auto bits = static_cast<std::uint32_t>(status);
    char code[5] = {};
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<char>((bits >> (24 - 8 * i)) & 0xFFu);
        if (byte == '\0') {
            break;
        }
        code[i] = byte;
    }
    std::fprintf(diagnostics(), "%s error: %d (%s)\n", label != nullptr ? label : "", status, code);
}
