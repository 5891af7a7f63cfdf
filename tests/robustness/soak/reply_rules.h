#pragma once
// What a `service` run may print while service hosts and the service manager are
// killed and restarted around it: the exact output of a success, and which of the
// documented failures it may end with, given what was down while it ran.

#include <test_support/process.h>

#include <string>
#include <vector>

namespace quorvel::soak {

// The processes a soak kills and restarts, as bits of a Disturbance.
enum Host : unsigned {
    SERVICE_MANAGER = 1u << 0,
    EXAMPLE_SERVICES = 1u << 1,
    CHURNED_HOST = 1u << 2,
    STEADY_HOST = 1u << 3, // never killed
};
// The hosts that were down, or not registered again yet, at some moment of a run;
// and, shifted by GONE_THROUGHOUT, those that were gone from its start to its end
// (the manager not running; a host ended and its names forgotten).
using Disturbance = unsigned;
constexpr unsigned GONE_THROUGHOUT = 8;
constexpr Disturbance goneThroughout(unsigned hosts)
{
    return hosts | hosts << GONE_THROUGHOUT;
}

// One name as the listing shows it, and the host that registers it.
struct Listed {
    std::string name;
    std::string descriptor; // as printed between the brackets
    Host host;
};

// One command a client runs and what it must print when it succeeds.
struct Expectation {
    enum class Kind {
        List,
        Check,
        Call,
    };
    Kind kind = Kind::List;
    std::string name; // check and call: the service named
    std::string out; // call: the exact standard output of the success
    bool failing = false; // call: the service answers every call with a failure, and
    std::string err; // call of a failing service: then prints `out` and this
};

inline Expectation listing()
{
    return Expectation{};
}
inline Expectation check(std::string name)
{
    Expectation e;
    e.kind = Expectation::Kind::Check;
    e.name = std::move(name);
    return e;
}
inline Expectation call(std::string name, std::string out)
{
    Expectation e;
    e.kind = Expectation::Kind::Call;
    e.name = std::move(name);
    e.out = std::move(out);
    return e;
}
inline Expectation failingCall(std::string name, std::string out, std::string err)
{
    Expectation e = call(std::move(name), std::move(out));
    e.failing = true;
    e.err = std::move(err);
    return e;
}

// "" when `result` is an outcome the command may have while `disturbed` was down;
// otherwise what is wrong with it. `registry` is every name registered when nothing
// is down, sorted.
std::string judge(const Expectation& expectation, const std::vector<Listed>& registry, const testing::RunResult& result,
                  Disturbance disturbed);

// The exact listing of `registry`, as `service list` prints it.
std::string listingOf(const std::vector<Listed>& registry);

} // namespace quorvel::soak
