#include "reply_rules.h"

#include <algorithm>
#include <cctype>

namespace quorvel::soak {
namespace {

const std::string NO_MANAGER = "service: Unable to get default service manager!\n";
const std::string LOST_MANAGER = "service: Service manager stopped answering: ";

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The lines of `text` without their ends; false in `*whole` when the last has none.
std::vector<std::string> linesOf(const std::string& text, bool* whole)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    *whole = text.empty() || text.back() == '\n';
    return lines;
}

// Text as a message shows it: line ends visible, long text cut.
std::string quoted(const std::string& text)
{
    std::string shown;
    for (char c : text.substr(0, 400))
        shown += c == '\n' ? std::string("\\n") : c == '\t' ? std::string("\\t") : std::string(1, c);
    return "\"" + shown + (text.size() > 400 ? "...\"" : "\"");
}

const Listed* find(const std::vector<Listed>& registry, const std::string& name)
{
    const auto it = std::find_if(registry.begin(), registry.end(), [&](const Listed& l) { return l.name == name; });
    return it == registry.end() ? nullptr : &*it;
}

// Whether `listed` may be missing, or its host unreachable, while `disturbed` is down.
bool mayBeGone(const Listed& listed, Disturbance disturbed)
{
    return (disturbed & (SERVICE_MANAGER | listed.host)) != 0;
}

// Whether `listed` was unregistered from the start of a run to its end.
bool goneAll(const Listed& listed, Disturbance disturbed)
{
    return (disturbed >> GONE_THROUGHOUT & listed.host) != 0 && !(disturbed & SERVICE_MANAGER);
}

bool isNumber(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A failed transaction's reply as `call` prints it: "Result: Status(-32, dead object)".
bool isFailedResult(const std::string& out)
{
    return startsWith(out, "Result: Status(-") && out.size() > 20 && out.compare(out.size() - 2, 2, ")\n") == 0 &&
        out.find('\n') == out.size() - 1;
}

// Checks `out` as a listing: the header, then one line per name with its index,
// sorted, each name registered by some host and shown with its own descriptor
// ("[]" allowed for the names in `blank`, whose query failed, and for names whose
// host was down). A `complete` listing
// has every line its header announces and every name whose host was up; otherwise
// it may stop after any line (the manager stopped answering).
std::string checkListing(const std::string& out, const std::vector<Listed>& registry, Disturbance disturbed,
                         bool complete, const std::vector<std::string>& blank = {})
{
    bool whole = false;
    const std::vector<std::string> lines = linesOf(out, &whole);
    if (lines.empty())
        return complete ? "printed nothing" : "";
    if (!whole)
        return "a line without its end in " + quoted(out);
    const std::string& header = lines[0];
    const std::string head = "Found ", tail = " services:";
    if (!startsWith(header, head) || header.size() <= head.size() + tail.size() ||
        header.compare(header.size() - tail.size(), tail.size(), tail) != 0 ||
        !isNumber(header.substr(head.size(), header.size() - head.size() - tail.size())))
        return "a listing that starts with " + quoted(header);
    const size_t announced = std::stoul(header.substr(head.size()));
    const size_t shown = lines.size() - 1;
    if (shown > announced || (complete && shown != announced))
        return "\"" + header + "\" and then " + std::to_string(shown) + " lines";
    std::vector<std::string> names;
    for (size_t i = 0; i < shown; ++i) {
        const std::string& line = lines[i + 1];
        const std::string index = std::to_string(i) + "\t";
        const size_t open = line.rfind(": [");
        if (!startsWith(line, index) || open == std::string::npos || open < index.size() || line.back() != ']')
            return "line " + std::to_string(i) + " is " + quoted(line);
        const std::string name = line.substr(index.size(), open - index.size());
        const std::string descriptor = line.substr(open + 3, line.size() - open - 4);
        const Listed* known = find(registry, name);
        if (!known)
            return "listed " + quoted(name) + ", which no host registers";
        if (goneAll(*known, disturbed))
            return "listed " + name + " while its host was gone";
        if (!names.empty() && !(names.back() < name))
            return "listed " + quoted(name) + " after " + quoted(names.back());
        // A name whose host was down may have gone between the listing and its
        // look-up: it shows "[]" then, as a name registered by nobody.
        const bool mayBeBlank =
            mayBeGone(*known, disturbed) || std::find(blank.begin(), blank.end(), name) != blank.end();
        if (descriptor != known->descriptor && !(descriptor.empty() && mayBeBlank))
            return "listed " + name + " with [" + descriptor + "], not [" + known->descriptor + "]";
        names.push_back(name);
    }
    if (complete) {
        for (const Listed& listed : registry)
            if (!mayBeGone(listed, disturbed) && std::find(names.begin(), names.end(), listed.name) == names.end())
                return "left out " + listed.name + " while its host and the service manager were up";
    }
    return "";
}

std::string judgeList(const std::vector<Listed>& registry, const testing::RunResult& result, Disturbance disturbed)
{
    if (result.exitStatus == 0)
        return checkListing(result.out, registry, disturbed, true);
    if (result.exitStatus != 30)
        return "exit " + std::to_string(result.exitStatus);
    // A descriptor query failed in the object system: "service: NAME: meaning" for
    // each such name, whose host was down, and its line shows "[]".
    bool whole = false;
    std::vector<std::string> blank;
    for (const std::string& line : linesOf(result.err, &whole)) {
        const size_t end = line.find(": ", 9);
        const Listed* known = end == std::string::npos ? nullptr : find(registry, line.substr(9, end - 9));
        if (!known)
            return "exit 30 with " + quoted(line);
        if (!mayBeGone(*known, disturbed))
            return "exit 30 with " + quoted(line) + " while its host and the service manager were up";
        blank.push_back(known->name);
    }
    return checkListing(result.out, registry, disturbed, true, blank);
}

std::string judgeCheck(const Expectation& expectation, const std::vector<Listed>& registry,
                       const testing::RunResult& result, Disturbance disturbed)
{
    if (result.exitStatus != 0)
        return "exit " + std::to_string(result.exitStatus);
    const Listed* known = find(registry, expectation.name);
    if (result.out == "Service " + expectation.name + ": found\n")
        return !known                    ? "found " + expectation.name + ", which no host registers"
            : goneAll(*known, disturbed) ? "found while its host was gone"
                                         : "";
    if (result.out == "Service " + expectation.name + ": not found\n")
        return !known || mayBeGone(*known, disturbed) ? "" : "not found while its host and the service manager were up";
    return "printed " + quoted(result.out);
}

std::string judgeCall(const Expectation& expectation, const std::vector<Listed>& registry,
                      const testing::RunResult& result, Disturbance disturbed)
{
    const Listed* known = find(registry, expectation.name);
    const bool mayFail = known && mayBeGone(*known, disturbed);
    if (known && goneAll(*known, disturbed) && result.exitStatus != 10)
        return "exit " + std::to_string(result.exitStatus) + " while its host was gone, not 10";
    switch (result.exitStatus) {
    case 0:
        if (expectation.failing)
            return "exit 0 from a service that fails every call, printing " + quoted(result.out);
        return result.out == expectation.out
            ? ""
            : "printed " + quoted(result.out) + " instead of " + quoted(expectation.out);
    case 10:
        if (!mayFail)
            return "exit 10 while its host and the service manager were up";
        if (!result.out.empty() || result.err != "service: Service " + expectation.name + " does not exist\n")
            return "exit 10 with " + quoted(result.out) + " and " + quoted(result.err);
        return "";
    case 30:
        if (expectation.failing && !mayFail)
            return result.out == expectation.out && result.err == expectation.err
                ? ""
                : "printed " + quoted(result.out) + " and " + quoted(result.err) + " instead of " +
                    quoted(expectation.out) + " and " + quoted(expectation.err);
        if (!mayFail)
            return "exit 30 while its host and the service manager were up: " + quoted(result.err);
        if (!result.out.empty() && !isFailedResult(result.out))
            return "exit 30 after printing " + quoted(result.out);
        return "";
    default: return "exit " + std::to_string(result.exitStatus);
    }
}

} // namespace

std::string listingOf(const std::vector<Listed>& registry)
{
    std::string out = "Found " + std::to_string(registry.size()) + " services:\n";
    for (size_t i = 0; i < registry.size(); ++i)
        out += std::to_string(i) + "\t" + registry[i].name + ": [" + registry[i].descriptor + "]\n";
    return out;
}

std::string judge(const Expectation& expectation, const std::vector<Listed>& registry, const testing::RunResult& result,
                  Disturbance disturbed)
{
    if (result.timedOut)
        return "did not end within its deadline";
    if (result.signal != 0)
        return "ended by signal " + std::to_string(result.signal);
    const int status = result.exitStatus;
    if (status == 0 && !result.err.empty())
        return "exit 0 with the diagnostic " + quoted(result.err);
    if (status != 0 && status != 10 && status != 20 && status != 30)
        return "exit " + std::to_string(status) + " (" + quoted(result.err) + ")";
    if (status != 0) {
        bool whole = false;
        const std::vector<std::string> lines = linesOf(result.err, &whole);
        const bool diagnosed = !lines.empty() && whole &&
            std::all_of(lines.begin(), lines.end(), [](const std::string& l) { return startsWith(l, "service: "); });
        if (!diagnosed)
            return "exit " + std::to_string(status) + " with " + quoted(result.err) + " on standard error";
    }
    if (disturbed >> GONE_THROUGHOUT & SERVICE_MANAGER) {
        if (status != 20 || !result.out.empty() || result.err != NO_MANAGER)
            return "exit " + std::to_string(status) + " with " + quoted(result.out) + " and " + quoted(result.err) +
                " while no service manager ran";
        return "";
    }
    if (status == 20) {
        if (!(disturbed & SERVICE_MANAGER))
            return "exit 20 while the service manager was up: " + quoted(result.err);
        const bool lost = startsWith(result.err, LOST_MANAGER) && result.err.find('\n') == result.err.size() - 1;
        if (result.err != NO_MANAGER && !lost)
            return "exit 20 with " + quoted(result.err);
        if (expectation.kind == Expectation::Kind::List)
            return checkListing(result.out, registry, disturbed, false);
        return result.out.empty() ? "" : "exit 20 after printing " + quoted(result.out);
    }
    switch (expectation.kind) {
    case Expectation::Kind::List: return judgeList(registry, result, disturbed);
    case Expectation::Kind::Check: return judgeCheck(expectation, registry, result, disturbed);
    case Expectation::Kind::Call: return judgeCall(expectation, registry, result, disturbed);
    }
    return "unknown command";
}

} // namespace quorvel::soak
