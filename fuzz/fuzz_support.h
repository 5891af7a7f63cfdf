#pragma once
// What every fuzz target shares: the check that turns a broken promise into a crash
// the fuzzer reports, and a text stream that goes nowhere, so that printing code runs
// in full without filling the fuzzer's output.

#include <quorvel/text_output.h>

#include <fcntl.h>

#include <cstdlib>

namespace quorvel::fuzz {

// Unlike assert, never compiled out: the fuzz build's optimisation settings must not
// decide whether a target checks anything.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

inline TextOutput& nullOutput()
{
    static TextOutput* stream = new TextOutput(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    return *stream;
}

} // namespace quorvel::fuzz
