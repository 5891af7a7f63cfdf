#pragma once
// The call argument encoder of `service call`: turns the words after SERVICE and
// CODE into values in the transaction's data parcel. It never prints; a bad
// argument comes back as a status and a diagnostic that the command driver reports.

#include <quorvel/parcel.h>
#include <quorvel/status.h>

#include <cstdint>
#include <string>

namespace servicetool {

struct EncodeResult {
    // OK, or BAD_VALUE when an argument could not be encoded.
    quorvel::status_t status = quorvel::OK;
    // What was wrong, without the tool's name in front; empty when status is OK.
    std::string message;
};

// atoi with a defined result for every input: leading blanks and a sign are
// accepted, conversion stops at the first non-digit, no digits give 0, and a value
// beyond the 32-bit range saturates.
int32_t toInt32(const char* text);

// Appends the call arguments argv[cursor] to argv[argc - 1] to `data` and leaves
// the cursor after the last word it took. A bad argument ends the encoding with the
// cursor just past it; what was written before it stays, since the caller sends the
// transaction all the same. A value the parcel has no room for (MAX_PARCEL_DATA) is
// a bad argument too, "KIND argument too large", and nothing of it is written. The
// arguments themselves are never modified.
EncodeResult encodeCallArguments(int argc, const char* const* argv, int& cursor, quorvel::Parcel& data);

} // namespace servicetool
