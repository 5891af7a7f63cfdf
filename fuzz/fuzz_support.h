#pragma once
// What every fuzz target shares: a text stream that goes nowhere, so that printing
// code runs in full without filling the fuzzer's output.

#include <quorvel/text_output.h>

#include <fcntl.h>

namespace quorvel::fuzz {

inline TextOutput& nullOutput()
{
    static TextOutput* stream = new TextOutput(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    return *stream;
}

} // namespace quorvel::fuzz
