// The `service` executable: everything it does lives in serviceMain so that the
// tests can include the same code without a second main.
#include "service_main.h"

int main(int argc, char** argv)
{
    return serviceMain(argc, argv);
}
