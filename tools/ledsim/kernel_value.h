// What the target kernel's LED class makes of the bytes written to an attribute.
#pragma once

#include <string>
#include <string_view>

namespace ledsim {

// What the target's LED class stores for bytes written to the attribute file at
// PATH: the text the file then reads back, or a negated errno value when the
// kernel refuses the write. A "brightness" file parses an unsigned long of the
// 32-bit target (kstrtoul) and clamps it to the maximum brightness, 255; every
// other attribute parses an int (kstrtoint). Both take decimal digits with an
// optional sign and one trailing newline, and nothing else.
int storedValue(std::string_view path, std::string_view bytes, std::string& stored);

} // namespace ledsim
