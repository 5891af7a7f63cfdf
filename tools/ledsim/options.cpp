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

// The arguments as the options read them: the one at `next` and its value.
struct Arguments {
    const std::vector<std::string>& words;
    size_t next = 0;

    // The value that follows the option being read.
    bool takeValue(std::string& value, std::string& error)
    {
        if (next + 1 >= words.size()) {
            error = "option " + words[next] + " needs a value";
            return false;
        }
        value = words[++next];
        return true;
    }
};

// A fault as FILE=KIND, FILE relative to the tree or its full path.
bool parseFaultOption(const std::string& value, Options& options, std::string& error)
{
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
    return true;
}

// An output file's name (WHAT: journal, picture); never empty.
bool takeOutputPath(Arguments& arguments, const char* what, std::string& path, std::string& error)
{
    if (!arguments.takeValue(path, error))
        return false;
    if (path.empty()) {
        error = std::string("empty ") + what + " file name";
        return false;
    }
    return true;
}

bool takeTimeout(Arguments& arguments, Options& options, std::string& error)
{
    std::string value;
    if (!arguments.takeValue(value, error))
        return false;
    if (!parseSeconds(value, options.timeoutSeconds)) {
        error = "timeout \"" + value + "\" is not a number of seconds from 1 to 999999";
        return false;
    }
    return true;
}

// The option at `arguments.next`, with its value if it takes one.
bool parseOption(Arguments& arguments, Options& options, std::string& error)
{
    const std::string& option = arguments.words[arguments.next];
    std::string value;
    if (option == "-h" || option == "--help") {
        options.help = true;
    } else if (option == "-l" || option == "--list") {
        options.listFiles = true;
    } else if (option == "-p" || option == "--profile") {
        if (!arguments.takeValue(value, error) || !parseProfile(value, options.profile, error))
            return false;
        options.profileText = value;
    } else if (option == "-f" || option == "--fault") {
        return arguments.takeValue(value, error) && parseFaultOption(value, options, error);
    } else if (option == "-j" || option == "--journal") {
        return takeOutputPath(arguments, "journal", options.journalPath, error);
    } else if (option == "-s" || option == "--show") {
        options.show = true;
    } else if (option == "-P" || option == "--picture") {
        return takeOutputPath(arguments, "picture", options.picturePath, error);
    } else if (option == "-t" || option == "--timeout") {
        return takeTimeout(arguments, options, error);
    } else {
        error = "unknown option " + option;
        return false;
    }
    return true;
}

} // namespace

bool parseOptions(const std::vector<std::string>& words, Options& options, std::string& error)
{
    options = Options{};
    Arguments arguments{words};
    for (; arguments.next < words.size(); ++arguments.next) {
        const std::string& word = words[arguments.next];
        if (word == "--") {
            ++arguments.next;
            break;
        }
        if (word.empty() || word[0] != '-')
            break; // the command starts here
        if (!parseOption(arguments, options, error))
            return false;
    }
    options.command.assign(words.begin() + static_cast<std::ptrdiff_t>(arguments.next), words.end());
    if (!options.help && !options.listFiles && options.command.empty()) {
        error = "no command given";
        return false;
    }
    return true;
}

} // namespace ledsim
