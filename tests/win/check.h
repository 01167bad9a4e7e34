#pragma once

// The few checks of the Win32 test programs, which run without the toolkit:
// CHECK counts and reports, checkSummary() prints the closing line
// "N passed, M failed" and gives the exit code.

#include <cstdio>

inline int checksPassed = 0;
inline int checksFailed = 0;

inline void check(bool ok, const char *what, int line)
{
    if (ok) {
        ++checksPassed;
    } else {
        ++checksFailed;
        std::printf("FAIL line %d: %s\n", line, what);
    }
}
#define CHECK(cond) check((cond), #cond, __LINE__)

inline int checkSummary()
{
    std::printf("%d passed, %d failed\n", checksPassed, checksFailed);
    return checksFailed ? 1 : 0;
}
