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
using quorvel::OK;
using quorvel::Parcel;
using quorvel::sp;
using quorvel::status_t;
using quorvel::String16;

namespace {

// An absent text is written as int32 -1, so that the reader can tell it from an
// empty string.
status_t writeStringOrNull(Parcel& parcel, const char* text)
{
    return text == nullptr ? parcel.writeInt32(-1) : parcel.writeString16(String16(text));
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

// The record is put together on its own first and appended whole, so that one that
// does not fit leaves no part of itself behind.
status_t writeIntent(Parcel& parcel, const IntentFields& fields)
{
    Parcel record;
    status_t status = writeStringOrNull(record, textOrNull(fields.action));
    if (status == OK)
        status = writeStringOrNull(record, textOrNull(fields.data));
    if (status == OK)
        status = writeStringOrNull(record, textOrNull(fields.type));
    if (status == OK)
        status = record.writeInt32(fields.launchFlags);
    if (status == OK)
        status = writeStringOrNull(record, textOrNull(fields.component));
    if (status == OK)
        status = record.writeInt32(static_cast<int32_t>(fields.categories.size()));
    for (size_t i = 0; status == OK && i < fields.categories.size(); ++i)
        status = record.writeString16(String16(fields.categories[i].c_str()));
    if (status == OK)
        status = record.writeInt32(-1);
    return status == OK ? parcel.appendFrom(record) : status;
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
        status_t written = OK;
        if (std::strcmp(kind, "i32") == 0) {
            if (cursor >= argc)
                return rejected("no integer supplied for 'i32'");
            written = data.writeInt32(toInt32(argv[cursor++]));
        } else if (std::strcmp(kind, "s16") == 0) {
            if (cursor >= argc)
                return rejected("no string supplied for 's16'");
            written = data.writeString16(String16(argv[cursor++]));
        } else if (std::strcmp(kind, "null") == 0) {
            written = data.writeStrongBinder(sp<IBinder>());
        } else if (std::strcmp(kind, "intent") == 0) {
            written = writeIntent(data, collectIntentFields(argc, argv, cursor));
        } else {
            return rejected(std::string("unknown option ") + kind);
        }
        // A value the parcel cannot take ends the encoding like any bad argument:
        // going on would hand the service the next value in its place.
        if (written != OK)
            return rejected(std::string(kind) + " argument too large");
    }
    return EncodeResult{};
}

} // namespace servicetool
