// What every fuzz target does when a result breaks a promise: print the target's name, what
// went wrong and the input in hex, then abort so libFuzzer keeps the input as a crash.

#pragma once

#include <QByteArray>

#include <cstdio>
#include <cstdlib>

#ifndef VELMORA_FUZZ_TARGET
#define VELMORA_FUZZ_TARGET "fuzz"
#endif

namespace fuzz {

[[noreturn]] inline void fail(const char *what, const QByteArray &input)
{
    std::fprintf(stderr, VELMORA_FUZZ_TARGET ": %s for input %s\n", what, input.toHex().constData());
    std::abort();
}

inline void check(bool ok, const char *what, const QByteArray &input)
{
    if (!ok)
        fail(what, input);
}

} // namespace fuzz
