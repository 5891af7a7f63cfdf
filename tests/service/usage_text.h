#pragma once
// The usage text `service` prints, written out here once as the tests expect it,
// byte for byte, so that a change to the tool's text shows as a failure.

#include <string>

inline const std::string USAGE = "Usage: service [-h|-?]\n"
                                 "       service list\n"
                                 "       service check SERVICE\n"
                                 "       service call SERVICE CODE [i32 INT | s16 STR] ...\n"
                                 "Options:\n"
                                 "   i32: Write the integer INT into the send parcel.\n"
                                 "   s16: Write the UTF-16 string STR into the send parcel.\n";
