#include "QuietStandardError.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

QuietStandardError::QuietStandardError() {
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) {
        return;
    }
    mSaved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (mSaved >= 0) {
        dup2(null, STDERR_FILENO);
    }
    close(null);
}

QuietStandardError::~QuietStandardError() {
    if (mSaved < 0) {
        return;
    }
    std::fflush(stderr);
    dup2(mSaved, STDERR_FILENO);
    close(mSaved);
}
