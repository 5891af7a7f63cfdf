#include "call_arguments.h"

#include <quorvel/binder.h>
#include <quorvel/string16.h>
#include <quorvel/strong_pointer.h>

#include <string.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace servicetool {

using quorvel::IBinder;
using quorvel::Parcel;
using quorvel::sp;
using quorvel::String16;

namespace {

// An absent text is written as int32 -1, so that the reader can tell it from an
// empty string.
void writeStringOrNull(Parcel& parcel, const char* text)
{
    if (text == nullptr)
        parcel.writeInt32(-1);
    else
        parcel.writeString16(String16(text));
}

// The fields of an intent record, all collected before any of them is written so
// that a later KEY=VALUE replaces an earlier one.
struct IntentFields {
    std::optional<std::string> action;
    std::optional<std::string> data;
    std::optional<std::string> type;
    int32_t launchFlags = 0;
    std::optional<std::string> component;
    std::vector<std::string> categories;
};

const char* textOrNull(const std::optional<std::string>& text)
{
    return text ? text->c_str() : nullptr;
}

void assignText(std::optional<std::string>& field, const char* value)
{
    if (value == nullptr)
        field.reset();
    else
        field = value;
}

// "a,,b" gives a and b: empty items are skipped, as strtok_r does.
std::vector<std::string> splitCategories(const char* value)
{
    std::vector<std::string> categories;
    std::string copy(value);
    char* save = nullptr;
    for (const char* item = strtok_r(copy.data(), ",", &save); item != nullptr; item = strtok_r(nullptr, ",", &save))
        categories.emplace_back(item);
    return categories;
}

// Takes every argument from the cursor on as KEY=VALUE until one has no KEY (an
// empty argument or one made only of '='), which is left under the cursor.
IntentFields collectIntentFields(int argc, const char* const* argv, int& cursor)
{
    IntentFields fields;
    while (cursor < argc) {
        // strtok_r writes into the text it splits; argv must stay as given, since
        // a later diagnostic may quote the same argument.
        std::string argument(argv[cursor]);
        char* save = nullptr;
        const char* key = strtok_r(argument.data(), "=", &save);
        if (key == nullptr)
            break;
        const char* value = strtok_r(nullptr, "=", &save);

        if (std::strcmp(key, "action") == 0)
            assignText(fields.action, value);
        else if (std::strcmp(key, "data") == 0)
            assignText(fields.data, value);
        else if (std::strcmp(key, "type") == 0)
            assignText(fields.type, value);
        else if (std::strcmp(key, "launchFlags") == 0)
            fields.launchFlags = value ? toInt32(value) : 0;
        else if (std::strcmp(key, "component") == 0)
            assignText(fields.component, value);
        else if (std::strcmp(key, "categories") == 0)
            fields.categories = value ? splitCategories(value) : std::vector<std::string>();
        // Any other key is skipped without a word, like the words after an intent.
        ++cursor;
    }
    return fields;
}

void writeIntent(Parcel& parcel, const IntentFields& fields)
{
    writeStringOrNull(parcel, textOrNull(fields.action));
    writeStringOrNull(parcel, textOrNull(fields.data));
    writeStringOrNull(parcel, textOrNull(fields.type));
    parcel.writeInt32(fields.launchFlags);
    writeStringOrNull(parcel, textOrNull(fields.component));
    parcel.writeInt32(static_cast<int32_t>(fields.categories.size()));
    for (const std::string& category : fields.categories)
        parcel.writeString16(String16(category.c_str()));
    parcel.writeInt32(-1);
}

EncodeResult rejected(std::string message)
{
    return EncodeResult{quorvel::BAD_VALUE, std::move(message)};
}

} // namespace

// atoi itself is undefined beyond the range, and the C library's answer differs
// between 32- and 64-bit targets.
int32_t toInt32(const char* text)
{
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

EncodeResult encodeCallArguments(int argc, const char* const* argv, int& cursor, Parcel& data)
{
    while (cursor < argc) {
        const char* kind = argv[cursor++];
        if (std::strcmp(kind, "i32") == 0) {
            if (cursor >= argc)
                return rejected("no integer supplied for 'i32'");
            data.writeInt32(toInt32(argv[cursor++]));
        } else if (std::strcmp(kind, "s16") == 0) {
            if (cursor >= argc)
                return rejected("no string supplied for 's16'");
            data.writeString16(String16(argv[cursor++]));
        } else if (std::strcmp(kind, "null") == 0) {
            data.writeStrongBinder(sp<IBinder>());
        } else if (std::strcmp(kind, "intent") == 0) {
            writeIntent(data, collectIntentFields(argc, argv, cursor));
        } else {
            return rejected(std::string("unknown option ") + kind);
        }
    }
    return EncodeResult{};
}

} // namespace servicetool
