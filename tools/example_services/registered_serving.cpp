#include "registered_serving.h"

#include <quorvel/service_manager.h>
#include <quorvel/text_output.h>

#include <algorithm>

namespace quorvel {

namespace {

constexpr long FIRST_PAUSE_MS = 50;
constexpr long LONGEST_PAUSE_MS = 1000;
// At start-up the service manager may still be starting: a few seconds, then give up.
constexpr int START_ATTEMPTS = 100;

// Connects and registers every service; a failure of the manager itself (gone, or
// not answering in time) gives null with *lost set, any other refusal null without.
sp<ServiceManagerPort> registerAll(const char* program, const std::vector<ExampleService>& services, bool* lost)
{
    *lost = true;
    sp<ServiceManagerPort> sm = defaultServiceManager();
    if (!sm)
        return nullptr;
    for (const ExampleService& service : services) {
        const status_t status = sm->addService(String16(service.name), service.object);
        if (status == DEAD_OBJECT || status == TIMED_OUT)
            return nullptr;
        if (status != OK) {
            *lost = false;
            aerr << program << ": cannot register " << service.name << ": " << statusToString(status) << " (" << status
                 << ")" << endl;
            return nullptr;
        }
    }
    return sm;
}

} // namespace

int serveRegistered(const char* program, const std::vector<ExampleService>& services)
{
    bool restarted = false;
    long pauseMs = FIRST_PAUSE_MS;
    for (int attempt = 0; !stopRequested(); ++attempt) {
        bool lost = false;
        const sp<ServiceManagerPort> sm = registerAll(program, services, &lost);
        if (!sm) {
            if (!lost)
                return 1;
            if (!restarted && attempt + 1 >= START_ATTEMPTS) {
                aerr << program << ": cannot reach the service manager at " << serviceManagerPath() << endl;
                return 1;
            }
            // While starting, retry at a steady pace; after a restart, back off so
            // that a manager that stays away costs little.
            waitForStop(static_cast<int>(pauseMs));
            if (restarted)
                pauseMs = std::min(pauseMs * 2, LONGEST_PAUSE_MS);
            continue;
        }
        pauseMs = FIRST_PAUSE_MS;
        const status_t status = serve();
        if (status == OK || stopRequested())
            return 0;
        if (status != DEAD_OBJECT) {
            aerr << program << ": stopped serving: " << statusToString(status) << endl;
            return 1;
        }
        // The service manager went away and our names with it: register again once it
        // is back. Callers already connected keep being served meanwhile.
        restarted = true;
        attempt = 0;
    }
    return 0;
}

} // namespace quorvel
