// Parsing profile and fault words against their tables, and a profile's files.
#include "vocabulary.h"

#include <algorithm>
#include <iterator>

namespace ledsim {

namespace {

const char* const COMMON_FILES[] = {
    "/lcd-backlight/brightness",
    "/keyboard-backlight/brightness",
    "/button-backlight/brightness",
    "/green/brightness",
};

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

template <typename Entry, size_t N>
std::vector<std::string_view> namesOf(const Entry (&table)[N])
{
    std::vector<std::string_view> names;
    for (const Entry& entry : table)
        names.push_back(entry.name);
    return names;
}

template <size_t N>
const ProfileWord* findWord(const ProfileWord (&table)[N], std::string_view name)
{
    for (const ProfileWord& word : table) {
        if (word.name == name)
            return &word;
    }
    return nullptr;
}

} // namespace

std::string alternatives(const std::vector<std::string_view>& words)
{
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0)
            text += i + 1 == words.size() ? " or " : ", ";
        text += words[i];
    }
    return text;
}

bool parseProfile(std::string_view text, Profile& profile, std::string& error)
{
    Profile parsed;
    const auto parts = split(text, '+');
    const ProfileWord* layout = findWord(PROFILE_LAYOUTS, parts[0]);
    if (layout == nullptr) {
        error = "unknown board profile \"" + std::string(parts[0]) + "\" (expected " +
            alternatives(namesOf(PROFILE_LAYOUTS)) + ")";
        return false;
    }
    parsed.*layout->field = layout->value;
    for (size_t i = 1; i < parts.size(); ++i) {
        const ProfileWord* feature = findWord(PROFILE_FEATURES, parts[i]);
        if (feature == nullptr) {
            error = "unknown profile feature \"" + std::string(parts[i]) + "\" (expected " +
                alternatives(namesOf(PROFILE_FEATURES)) + ")";
            return false;
        }
        parsed.*feature->field = feature->value;
    }
    profile = parsed;
    return true;
}

bool parseFault(std::string_view text, Fault& fault, std::string& error)
{
    for (const FaultKind& kind : FAULT_KINDS) {
        if (text == kind.name) {
            fault = kind.fault;
            return true;
        }
    }
    error = "unknown fault \"" + std::string(text) + "\" (expected " + alternatives(namesOf(FAULT_KINDS)) + ")";
    return false;
}

std::vector<std::string> profileFiles(const Profile& profile)
{
    std::vector<std::string> files(std::begin(COMMON_FILES), std::end(COMMON_FILES));
    if (profile.amber) {
        files.push_back("/amber/brightness");
        files.push_back("/amber/blink");
    } else {
        files.push_back("/red/brightness");
        files.push_back("/blue/brightness");
        files.push_back("/red/device/blink");
        if (profile.blinkTiming) {
            files.push_back("/red/device/grpfreq");
            files.push_back("/red/device/grppwm");
        }
    }
    if (profile.trackball) {
        files.push_back("/jogball-backlight/brightness");
        files.push_back("/jogball-backlight/blink");
    }
    if (profile.lcdAuto)
        files.push_back("/lcd-backlight/auto");
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace ledsim
