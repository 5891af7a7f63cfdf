#include "shell_words.h"

#include <string_view>

namespace ledsim {

namespace {

// Characters no POSIX shell reads specially anywhere in an argument.
bool plain(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::string_view("_-+=.,/:@%").find(c) != std::string_view::npos;
}

std::string inQuotes(const std::string& word)
{
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace

std::string shellQuoted(const std::string& word)
{
    bool safe = !word.empty();
    for (const char c : word)
        safe = safe && plain(c);
    return safe ? word : inQuotes(word);
}

std::string shellCommandLine(const std::vector<std::string>& words)
{
    std::string line;
    for (const std::string& word : words) {
        // A first word with "=" would be read as an assignment, not a command.
        const bool assignment = line.empty() && word.find('=') != std::string::npos;
        if (!line.empty())
            line += ' ';
        line += assignment ? inQuotes(word) : shellQuoted(word);
    }
    return line;
}

} // namespace ledsim
