#pragma once
// What a TextOutput writes, caught in an anonymous file and read back whole.

#include <string>

namespace quorvel {
class Parcel;
}

namespace quorvel::testing {

int memoryFile(); // fresh, empty, close-on-exec; -1 if none can be made
std::string readAll(int fd); // everything in `fd` from its start
std::string printed(const Parcel& parcel); // what `parcel` prints (Parcel::print, flags 0)

} // namespace quorvel::testing
