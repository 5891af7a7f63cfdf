// The rules the chaos soak judges replies by: every documented failure a restart
// can cause passes, and every wrong reply, false success and undocumented failure
// is caught, whatever was down.
#include "reply_rules.h"

#include <gtest/gtest.h>

namespace quorvel::soak {
namespace {

using testing::RunResult;

const std::vector<Listed> REGISTRY = {
    {"example.echo", "quorvel.example.IEcho", EXAMPLE_SERVICES},
    {"example.refusing", "", EXAMPLE_SERVICES},
    {"soak.churn", "quorvel.soak.IChurn", CHURNED_HOST},
    {"soak.steady", "quorvel.soak.ISteady", STEADY_HOST},
};
const std::string FULL = listingOf(REGISTRY);
const std::string ECHOED = "Result: Parcel(\n  0x00000000: 00000001 00000005 '........')\n";

RunResult ended(int status, std::string out, std::string err = "")
{
    RunResult result;
    result.exitStatus = status;
    result.out = std::move(out);
    result.err = std::move(err);
    return result;
}

const Expectation LIST = listing();
const Expectation CALL_ECHO = call("example.echo", ECHOED);
const Expectation CHECK_ECHO = check("example.echo");
const Expectation CHECK_ABSENT = check("soak.absent");
const Expectation CALL_FAILING = failingCall("example.echo", "Result: Status(-2147483646, failed)\n",
                                             "service: Transaction failed: failed (-2147483646)\n");

std::string without(const std::string& text, const std::string& line)
{
    const size_t at = text.find(line);
    return at == std::string::npos ? text : text.substr(0, at) + text.substr(at + line.size());
}

TEST(ReplyRules, WithNothingDownOnlyTheExactSuccessPasses)
{
    EXPECT_EQ(judge(LIST, REGISTRY, ended(0, FULL), 0), "");
    EXPECT_EQ(judge(CALL_ECHO, REGISTRY, ended(0, ECHOED), 0), "");
    EXPECT_EQ(judge(CHECK_ECHO, REGISTRY, ended(0, "Service example.echo: found\n"), 0), "");
    EXPECT_EQ(judge(CHECK_ABSENT, REGISTRY, ended(0, "Service soak.absent: not found\n"), 0), "");
    EXPECT_EQ(judge(CALL_FAILING, REGISTRY, ended(30, CALL_FAILING.out, CALL_FAILING.err), 0), "");

    // One word changed, or cut short.
    std::string changed = ECHOED;
    changed[changed.find("00000005")] = '1';
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(0, changed), 0), "");
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(0, ""), 0), "");
    // A name left out, with its count, or a descriptor blank at exit 0.
    std::string fewer = without(FULL, "3\tsoak.steady: [quorvel.soak.ISteady]\n");
    fewer.replace(fewer.find("Found 4"), 7, "Found 3");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, fewer), 0), "");
    std::string blank = FULL;
    blank.replace(blank.find("[quorvel.example.IEcho]"), 23, "[]");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, blank), 0), "");
    EXPECT_NE(judge(CHECK_ECHO, REGISTRY, ended(0, "Service example.echo: not found\n"), 0), "");
    EXPECT_NE(judge(CHECK_ABSENT, REGISTRY, ended(0, "Service soak.absent: found\n"), 0), "");
    // Failures nothing down can explain; a failing service taken for a success.
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(10, "", "service: Service example.echo does not exist\n"), 0), "");
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(30, "Result: Status(-32, dead object)\n", "service: x\n"), 0), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(20, "", "service: Unable to get default service manager!\n"), 0), "");
    EXPECT_NE(judge(CALL_FAILING, REGISTRY, ended(0, ECHOED), 0), "");
    EXPECT_NE(judge(CALL_FAILING, REGISTRY, ended(0, CALL_FAILING.out), EXAMPLE_SERVICES), "");
}

TEST(ReplyRules, WhileAHostRestartsItsNamesMayFailButNothingIsWrong)
{
    const std::string noChurn = "Found 3 services:\n0\texample.echo: [quorvel.example.IEcho]\n"
                                "1\texample.refusing: []\n2\tsoak.steady: [quorvel.soak.ISteady]\n";
    EXPECT_EQ(judge(LIST, REGISTRY, ended(0, noChurn), CHURNED_HOST), "");
    // Only the restarted host's names may go.
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, noChurn), EXAMPLE_SERVICES), "");
    // Its descriptor query failed: "[]", named on standard error, exit 30.
    std::string blank = FULL;
    blank.replace(blank.find("[quorvel.soak.IChurn]"), 21, "[]");
    EXPECT_EQ(judge(LIST, REGISTRY, ended(30, blank, "service: soak.churn: dead object\n"), CHURNED_HOST), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(30, blank, "service: soak.steady: dead object\n"), CHURNED_HOST), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(30, blank, "service: soak.churn: dead object\n"), EXAMPLE_SERVICES), "");
    // Or it went between the listing and its look-up: "[]", exit 0.
    EXPECT_EQ(judge(LIST, REGISTRY, ended(0, blank), CHURNED_HOST), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, blank), EXAMPLE_SERVICES), "");

    EXPECT_EQ(
        judge(CALL_ECHO, REGISTRY, ended(10, "", "service: Service example.echo does not exist\n"), EXAMPLE_SERVICES),
        "");
    EXPECT_EQ(judge(CALL_ECHO, REGISTRY,
                    ended(30, "Result: Status(-32, dead object)\n", "service: Transaction failed: dead object (-32)\n"),
                    EXAMPLE_SERVICES),
              "");
    EXPECT_EQ(judge(CALL_ECHO, REGISTRY, ended(30, "", "service: example.echo: dead object\n"), EXAMPLE_SERVICES), "");
    EXPECT_EQ(judge(CHECK_ECHO, REGISTRY, ended(0, "Service example.echo: not found\n"), EXAMPLE_SERVICES), "");
    // A success is still exact; a failure still says what it is.
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(0, "Result: Parcel()\n"), EXAMPLE_SERVICES), "");
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(30, "Result: Parcel()\n", "service: x\n"), EXAMPLE_SERVICES), "");
    EXPECT_NE(
        judge(CALL_ECHO, REGISTRY, ended(10, "", "service: Service soak.churn does not exist\n"), EXAMPLE_SERVICES),
        "");
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(20, "", "service: Unable to get default service manager!\n"),
                    EXAMPLE_SERVICES),
              "");
}

TEST(ReplyRules, WhileTheManagerRestartsAnyNameMayBeMissingAndStatus20IsAllowed)
{
    const std::string none = "Found 0 services:\n";
    EXPECT_EQ(judge(LIST, REGISTRY, ended(0, none), SERVICE_MANAGER), "");
    EXPECT_EQ(judge(CHECK_ECHO, REGISTRY, ended(0, "Service example.echo: not found\n"), SERVICE_MANAGER), "");
    for (const Expectation& expectation : {LIST, CALL_ECHO, CHECK_ECHO}) {
        EXPECT_EQ(judge(expectation, REGISTRY, ended(20, "", "service: Unable to get default service manager!\n"),
                        SERVICE_MANAGER),
                  "");
        EXPECT_EQ(judge(expectation, REGISTRY,
                        ended(20, "", "service: Service manager stopped answering: dead object (-32)\n"),
                        SERVICE_MANAGER),
                  "");
        EXPECT_NE(judge(expectation, REGISTRY, ended(20, "", "service: something else\n"), SERVICE_MANAGER), "");
    }
    // Stopped answering halfway through a listing: what came before is printed.
    const std::string half = FULL.substr(0, FULL.find("2\t"));
    EXPECT_EQ(judge(LIST, REGISTRY, ended(20, half, "service: Service manager stopped answering: dead object (-32)\n"),
                    SERVICE_MANAGER),
              "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, half), SERVICE_MANAGER), "") << "a count its lines do not match";
    EXPECT_NE(judge(CALL_ECHO, REGISTRY,
                    ended(20, ECHOED, "service: Service manager stopped answering: dead object (-32)\n"),
                    SERVICE_MANAGER),
              "");
}

TEST(ReplyRules, WhileAProgramWasGoneThroughoutOnlyItsAbsenceIsRight)
{
    const std::string none = "service: Unable to get default service manager!\n";
    const Disturbance noManager = goneThroughout(SERVICE_MANAGER);
    for (const Expectation& expectation : {LIST, CALL_ECHO, CHECK_ECHO, CHECK_ABSENT})
        EXPECT_EQ(judge(expectation, REGISTRY, ended(20, "", none), noManager), "");
    // An unreachable manager is never an empty registry, nor one that stopped answering.
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, "Found 0 services:\n"), noManager), "");
    EXPECT_NE(judge(CHECK_ABSENT, REGISTRY, ended(0, "Service soak.absent: not found\n"), noManager), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(20, "", "service: Service manager stopped answering: dead object (-32)\n"),
                    noManager),
              "");

    const Disturbance noChurn = goneThroughout(CHURNED_HOST);
    const std::string listed = without(FULL, "2\tsoak.churn: [quorvel.soak.IChurn]\n");
    std::string renumbered = listed;
    renumbered.replace(renumbered.find("Found 4"), 7, "Found 3");
    renumbered.replace(renumbered.find("3\tsoak.steady"), 1, "2");
    EXPECT_EQ(judge(LIST, REGISTRY, ended(0, renumbered), noChurn), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, FULL), noChurn), "") << "listed while its names were forgotten";
    const Expectation checkChurn = check("soak.churn");
    EXPECT_EQ(judge(checkChurn, REGISTRY, ended(0, "Service soak.churn: not found\n"), noChurn), "");
    EXPECT_NE(judge(checkChurn, REGISTRY, ended(0, "Service soak.churn: found\n"), noChurn), "");
    const Expectation callChurn = call("soak.churn", ECHOED);
    EXPECT_EQ(judge(callChurn, REGISTRY, ended(10, "", "service: Service soak.churn does not exist\n"), noChurn), "");
    EXPECT_NE(judge(callChurn, REGISTRY,
                    ended(30, "Result: Status(-32, dead object)\n", "service: Transaction failed: dead object (-32)\n"),
                    noChurn),
              "");
    // Gone, but the manager restarting too: its names may be anything the restart allows.
    EXPECT_EQ(judge(checkChurn, REGISTRY, ended(0, "Service soak.churn: found\n"), noChurn | SERVICE_MANAGER), "");
}

TEST(ReplyRules, MalformedRunsFailWhateverWasDown)
{
    const Disturbance all = SERVICE_MANAGER | EXAMPLE_SERVICES | CHURNED_HOST;
    RunResult timedOut = ended(0, FULL);
    timedOut.timedOut = true;
    EXPECT_NE(judge(LIST, REGISTRY, timedOut, all), "");
    RunResult signalled = ended(128 + 11, "");
    signalled.signal = 11;
    EXPECT_NE(judge(LIST, REGISTRY, signalled, all), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(1, "", "service: x\n"), all), "");
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(30, ""), all), "") << "a failure without a diagnostic";
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(30, "", "Transaction failed\n"), all), "");
    EXPECT_NE(judge(CALL_ECHO, REGISTRY, ended(0, ECHOED, "service: x\n"), all), "");
    EXPECT_NE(judge(CHECK_ECHO, REGISTRY, ended(30, "", "service: x\n"), all), "");

    EXPECT_NE(judge(LIST, REGISTRY, ended(0, ""), all), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, "Found 1 services:\n0\tsoak.forged: [x]\n"), all), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, "Found 1 services:\n0\tsoak.steady: [quorvel.soak.IChurn]\n"), all), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, "Found 1 services:\n1\tsoak.steady: [quorvel.soak.ISteady]\n"), all), "");
    const std::string unsorted = "Found 2 services:\n0\tsoak.steady: [quorvel.soak.ISteady]\n"
                                 "1\tsoak.churn: [quorvel.soak.IChurn]\n";
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, unsorted), all), "");
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, FULL.substr(0, FULL.size() - 1)), all), "") << "no line end";
    EXPECT_NE(judge(LIST, REGISTRY, ended(0, "Found x services:\n"), all), "");
}

} // namespace
} // namespace quorvel::soak
