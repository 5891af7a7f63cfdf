// ledsim's messages on standard error.
#include "report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace ledsim {

void fail(const std::string& message)
{
    fprintf(stderr, "ledsim: %s\n", message.c_str());
}

std::string errnoText(const char* what)
{
    return std::string(what) + ": " + strerror(errno);
}

} // namespace ledsim
