// The `service` executable.
#include "service_main.h"

int main(int argc, char** argv)
{
    return serviceMain(argc, argv);
}
