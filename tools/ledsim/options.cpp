// Parsing of ledsim's command line; kept apart from main so that it is testable.
#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace ledsim {

namespace {

// Where an option's description starts, and the width its lines stay within.
const size_t HELP_INDENT = 26;
const size_t HELP_WIDTH = 80;

// TEXT's words on lines of the help's description column: the first continues
// LINE, the others start at the column.
std::string wrapped(std::string line, std::string_view text)
{
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view word = text.substr(start, end - start);
        const bool fresh = line.size() <= HELP_INDENT;
        if (!fresh && line.size() + 1 + word.size() >= HELP_WIDTH) {
            out += line + "\n";
            line.assign(HELP_INDENT, ' ');
        }
        if (line.size() > HELP_INDENT)
            line += ' ';
        line += word;
        start = end + 1;
    }
    return out + line + "\n";
}

std::string option(std::string_view names)
{
    std::string line = "  " + std::string(names);
    line.resize(HELP_INDENT, ' ');
    return line;
}

std::string profileHelp()
{
    std::vector<std::string_view> layouts;
    for (const ProfileWord& word : PROFILE_LAYOUTS)
        layouts.push_back(word.name);
    std::string text = "board: " + alternatives(layouts) + ", with";
    for (const ProfileWord& word : PROFILE_FEATURES)
        text += " +" + std::string(word.name) + ",";
    text.pop_back();
    text += " (default " + std::string(PROFILE_LAYOUTS[0].name) + ")";
    return wrapped(option("-p, --profile PROFILE"), text);
}

std::string faultHelp()
{
    std::string text;
    for (const FaultKind& kind : FAULT_KINDS) {
        text += std::string(kind.name);
        if (!kind.help.empty())
            text += " (" + std::string(kind.help) + ")";
        text += ", ";
    }
    text.resize(text.size() - 2);
    text += "; one per file, repeatable";
    return option("-f, --fault FILE=KIND") + "inject a fault into FILE (under " + std::string(MOUNT_POINT) + "):\n" +
        wrapped(std::string(HELP_INDENT, ' '), text);
}

} // namespace

const char* usageText()
{
    static const std::string text = "usage: ledsim [OPTIONS] -- COMMAND [ARG...]\n"
                                    "       ledsim [--profile PROFILE] --list\n"
                                    "\n"
                                    "Runs COMMAND in a private mount namespace where /sys/class/leds is a simulated\n"
                                    "LED class tree, then prints the journal of every access probe, open, write and\n"
                                    "close the command made, and the final value of every attribute file.\n"
                                    "Needs root. Exits with COMMAND's status (128+N if killed by signal N),\n"
                                    "124 on timeout, 125 if the tree cannot be set up, 126/127 if COMMAND cannot run.\n"
                                    "\n" +
        profileHelp() + faultHelp() +
        "  -j, --journal FILE      write the journal to FILE instead of standard output\n"
        "  -s, --show              show the LEDs live on standard output while COMMAND\n"
        "                          runs (a colour panel on a terminal, else one line\n"
        "                          per change)\n"
        "  -P, --picture FILE      after COMMAND, draw its run as an SVG timeline in FILE\n"
        "  -t, --timeout SECONDS   kill COMMAND after SECONDS (default 60)\n"
        "  -l, --list              print the profile's attribute files and exit\n"
        "  -h, --help              print this text and exit\n";
    return text.c_str();
}

const char* usageHint()
{
    return "usage: ledsim [OPTIONS] -- COMMAND [ARG...]; ledsim --help lists the options\n";
}

namespace {

bool parseSeconds(const std::string& text, int& seconds)
{
    if (text.empty() || text.size() > 6)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    seconds = std::atoi(text.c_str());
    return seconds > 0;
}

} // namespace

bool parseOptions(const std::vector<std::string>& arguments, Options& options, std::string& error)
{
    options = Options{};
    size_t i = 0;
    auto takeValue = [&](const std::string& option, std::string& value) {
        if (i + 1 >= arguments.size()) {
            error = "option " + option + " needs a value";
            return false;
        }
        value = arguments[++i];
        return true;
    };
    for (; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "-l" || argument == "--list") {
            options.listFiles = true;
        } else if (argument == "-p" || argument == "--profile") {
            if (!takeValue(argument, value) || !parseProfile(value, options.profile, error))
                return false;
            options.profileText = value;
        } else if (argument == "-f" || argument == "--fault") {
            if (!takeValue(argument, value))
                return false;
            const size_t equals = value.rfind('=');
            if (equals == std::string::npos) {
                error = "fault \"" + value + "\" is not FILE=KIND";
                return false;
            }
            const std::string path = treePath(value.substr(0, equals));
            if (path.empty()) {
                error = "fault \"" + value + "\" names no file under /sys/class/leds";
                return false;
            }
            Fault fault;
            if (!parseFault(value.substr(equals + 1), fault, error))
                return false;
            options.faults.emplace_back(path, fault);
        } else if (argument == "-j" || argument == "--journal") {
            if (!takeValue(argument, options.journalPath))
                return false;
            if (options.journalPath.empty()) {
                error = "empty journal file name";
                return false;
            }
        } else if (argument == "-s" || argument == "--show") {
            options.show = true;
        } else if (argument == "-P" || argument == "--picture") {
            if (!takeValue(argument, options.picturePath))
                return false;
            if (options.picturePath.empty()) {
                error = "empty picture file name";
                return false;
            }
        } else if (argument == "-t" || argument == "--timeout") {
            if (!takeValue(argument, value))
                return false;
            if (!parseSeconds(value, options.timeoutSeconds)) {
                error = "timeout \"" + value + "\" is not a number of seconds from 1 to 999999";
                return false;
            }
        } else if (!argument.empty() && argument[0] == '-') {
            error = "unknown option " + argument;
            return false;
        } else {
            break; // the command starts here
        }
    }
    options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
    if (!options.help && !options.listFiles && options.command.empty()) {
        error = "no command given";
        return false;
    }
    return true;
}

} // namespace ledsim
