// In-process tests of what the `service` tool does without a process: the display
// text, the interface descriptor query and the call argument encoder.
#include <call_arguments.h>
#include <display_text.h>

#include <gtest/gtest.h>

#include <quorvel/binder.h>
#include <quorvel/limits.h>
#include <quorvel/parcel.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <quorvel/string8.h>
#include <quorvel/strong_pointer.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using quorvel::IBinder;
using quorvel::Parcel;
using quorvel::sp;
using quorvel::String16;
using quorvel::String8;
using servicetool::encodeCallArguments;
using servicetool::EncodeResult;
using servicetool::interfaceDescriptorOf;
using servicetool::toAsciiString8;

using Words = std::vector<uint32_t>;

Words wordsOf(const Parcel& parcel)
{
    Words words(parcel.dataSize() / 4);
    if (!words.empty()) // an empty parcel may have no storage at all
        std::memcpy(words.data(), parcel.data(), words.size() * 4);
    EXPECT_EQ(parcel.dataSize() % 4, 0u);
    return words;
}

// One expected value of the data parcel in its wire form: an int32 is one word; a
// text is its length in UTF-16 units, the units two to a word in host order, a zero
// unit and zero padding to a whole word.
struct Value {
    Value(int32_t number)
        : words{static_cast<uint32_t>(number)}
    {
    }
    Value(const char16_t* text)
    {
        std::u16string units(text);
        words.push_back(static_cast<uint32_t>(units.size()));
        units.push_back(u'\0');
        if (units.size() % 2 != 0)
            units.push_back(u'\0');
        for (size_t i = 0; i < units.size(); i += 2) {
            char16_t pair[2] = {units[i], units[i + 1]};
            uint32_t word;
            std::memcpy(&word, pair, 4);
            words.push_back(word);
        }
    }
    Words words;
};

Words expectedWords(std::initializer_list<Value> values)
{
    Words all;
    for (const Value& value : values)
        all.insert(all.end(), value.words.begin(), value.words.end());
    return all;
}

// One run of the encoder over a command line's call arguments, as the tool sees
// them after SERVICE and CODE.
struct Encoding {
    explicit Encoding(std::vector<std::string> arguments)
        : given(arguments)
        , storage(std::move(arguments))
    {
        for (std::string& argument : storage)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        result = encodeCallArguments(static_cast<int>(storage.size()), argv.data(), cursor, data);
    }

    // The arguments as they were before encoding, to prove nothing was changed.
    std::vector<std::string> given;
    std::vector<std::string> storage;
    std::vector<char*> argv;
    int cursor = 0;
    Parcel data;
    EncodeResult result;

    Words words() const { return wordsOf(data); }

    std::vector<std::string> argumentsNow() const
    {
        std::vector<std::string> now;
        for (size_t i = 0; i + 1 < argv.size(); ++i)
            now.emplace_back(argv[i]);
        return now;
    }
};

// Accepted whole, or (with a `rejection`) refused with that diagnostic and the cursor
// at `cursorAfter`; either way the arguments are left as they were.
void expectOutcome(const Encoding& encoding, const char* rejection = nullptr, int cursorAfter = 0)
{
    EXPECT_EQ(encoding.result.status, rejection ? quorvel::BAD_VALUE : quorvel::OK);
    EXPECT_EQ(encoding.result.message, rejection ? rejection : "");
    EXPECT_EQ(encoding.cursor, rejection ? cursorAfter : static_cast<int>(encoding.given.size()));
    EXPECT_EQ(encoding.argumentsNow(), encoding.given);
}

// ---------------------------------------------------------------------------
// Display text

std::string display(const String16& text)
{
    return toAsciiString8(text).string();
}

TEST(DisplayText, PrintableAsciiComesOutByteForByte)
{
    EXPECT_EQ(display(String16("quorvel.example.IEcho")), "quorvel.example.IEcho");
    std::u16string every;
    std::string expected;
    for (char16_t unit = 0x20; unit < 0x7F; ++unit) {
        every.push_back(unit);
        expected.push_back(static_cast<char>(unit));
    }
    EXPECT_EQ(display(String16(every)), expected);
}

TEST(DisplayText, EachControlUnitShowsAsOneQuestionMark)
{
    // 1 to 31 and 127, each alone and between printable neighbours (space and '~'
    // are the edges that stay).
    for (char16_t unit = 1; unit < 0x80; ++unit) {
        if (unit == 0x20)
            unit = 0x7F;
        EXPECT_EQ(display(String16(std::u16string{unit})), "?") << static_cast<int>(unit);
        EXPECT_EQ(display(String16(std::u16string{u' ', unit, u'~'})), " ?~") << static_cast<int>(unit);
    }
    // What a hostile peer would send: a screen clear, a title change ended by BEL, a
    // forged second line.
    EXPECT_EQ(display(String16(u"a\x1b[2J\x1b]0;t\x07"
                               u"b\r\n1\tx\x7f")),
              "a?[2J?]0;t?b??1?x?");
}

TEST(DisplayText, EmptyStaysEmpty)
{
    const String8 text = toAsciiString8(String16());
    EXPECT_EQ(text.length(), 0u);
    EXPECT_STREQ(text.string(), "");
}

TEST(DisplayText, UnitZeroAddsNothing)
{
    EXPECT_EQ(display(String16(std::u16string(u"a\0b", 3))), "ab");
    EXPECT_EQ(display(String16(std::u16string(u"\0\0", 2))), "");
}

TEST(DisplayText, EachUnitFrom128UpShowsAsOneQuestionMark)
{
    EXPECT_EQ(display(String16(u"quorvel.example.Caf\u00e9\u2603")), "quorvel.example.Caf??");
    // Before any ASCII unit, after one, and after a unit 0: always '?', never a
    // left-over or repeated byte.
    EXPECT_EQ(display(String16(u"\u00e9abc")), "?abc");
    EXPECT_EQ(display(String16(u"a\u0080\uffff")), "a??");
    EXPECT_EQ(display(String16(std::u16string(u"\0\u00e9", 2))), "?");
    // A character outside the basic plane is two units, so two marks.
    EXPECT_EQ(display(String16(u"x\U0001F600")), "x??");
}

// ---------------------------------------------------------------------------
// Interface descriptor query

// Answers every transaction with a fixed status and reply, and remembers what it
// was asked. It implements transact itself, so that the reply keeps its strings
// whatever the status: an object in another process may answer that way.
class ScriptedBinder : public IBinder {
public:
    ScriptedBinder(quorvel::status_t status, std::vector<const char*> replyStrings)
        : mStatus(status)
        , mReplyStrings(std::move(replyStrings))
    {
    }

    int transactions = 0;
    uint32_t lastCode = 0;
    size_t lastDataSize = SIZE_MAX;

    quorvel::status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        ++transactions;
        lastCode = code;
        lastDataSize = data.dataSize();
        for (const char* text : mReplyStrings)
            reply->writeString16(String16(text));
        reply->setDataPosition(0);
        return mStatus;
    }

private:
    quorvel::status_t mStatus;
    std::vector<const char*> mReplyStrings;
};

TEST(InterfaceDescriptorOf, NullBinderHasNoDescriptor)
{
    EXPECT_EQ(interfaceDescriptorOf(sp<IBinder>()).size(), 0u);
}

TEST(InterfaceDescriptorOf, AsksOnceWithTheQueryCodeAndAnEmptyParcel)
{
    sp<ScriptedBinder> binder(new ScriptedBinder(quorvel::OK, {"quorvel.example.IEcho", "second"}));
    EXPECT_EQ(interfaceDescriptorOf(binder), String16("quorvel.example.IEcho"));
    EXPECT_EQ(binder->transactions, 1);
    EXPECT_EQ(binder->lastCode, 0x5F4E5446u);
    EXPECT_EQ(binder->lastDataSize, 0u);
}

TEST(InterfaceDescriptorOf, AnyStatusButOkMeansNoDescriptorWhateverTheReplyHolds)
{
    // A positive status is no error code, but it is no answer either: the string the
    // reply still carries must not be taken for the descriptor.
    for (const quorvel::status_t status : std::vector<quorvel::status_t>{quorvel::UNKNOWN_TRANSACTION, 1, 0x7fffffff}) {
        SCOPED_TRACE(status);
        sp<ScriptedBinder> binder(new ScriptedBinder(status, {"quorvel.example.IEcho"}));
        EXPECT_EQ(interfaceDescriptorOf(binder).size(), 0u);
        EXPECT_EQ(binder->transactions, 1);
    }
}

TEST(InterfaceDescriptorOf, ReplyWithoutStringMeansNoDescriptor)
{
    sp<ScriptedBinder> binder(new ScriptedBinder(quorvel::OK, {}));
    EXPECT_EQ(interfaceDescriptorOf(binder).size(), 0u);
}

TEST(InterfaceDescriptorOf, HoldsNoReferenceAfterwards)
{
    sp<ScriptedBinder> binder(new ScriptedBinder(quorvel::OK, {"a"}));
    const int32_t before = binder->getStrongCount();
    interfaceDescriptorOf(binder);
    EXPECT_EQ(binder->getStrongCount(), before);
}

// ---------------------------------------------------------------------------
// Call argument encoder

// One command line of call arguments and the words it must encode; a rejected line
// also names its diagnostic and where the cursor stops (else it is accepted whole).
struct EncoderCase {
    const char* what;
    std::vector<std::string> arguments;
    Words words;
    const char* rejection = nullptr;
    int cursorAfter = 0;
};

void expectEncodings(const std::vector<EncoderCase>& cases)
{
    for (const EncoderCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Encoding encoding(c.arguments);
        EXPECT_EQ(encoding.words(), c.words);
        EXPECT_EQ(encoding.data.objectsCount(), 0u); // the null object has no table entry
        expectOutcome(encoding, c.rejection, c.cursorAfter);
    }
}

TEST(CallArguments, PlainKindsAppendInOrder)
{
    expectEncodings({
        {"i32, s16 and null; null is two zero words",
         {"i32", "7", "s16", "hi", "null"},
         expectedWords({7, u"hi", 0, 0})},
        {"no arguments write nothing", {}, {}},
        {"integers convert like atoi and saturate",
         {"i32", "-5", "i32", "  +7", "i32", "12abc", "i32", "abc", "i32", "", "i32", "2147483647", "i32", "2147483648",
          "i32", "-99999999999"},
         expectedWords({-5, 7, 12, 0, 0, INT32_MAX, INT32_MAX, INT32_MIN})},
        {"an empty string is a value", {"s16", "", "s16", "i32"}, expectedWords({u"", u"i32"})},
        {"UTF-8 text becomes UTF-16 units", {"s16", "caf\xc3\xa9 \xe2\x98\x83"}, expectedWords({u"caf\u00e9 \u2603"})},
    });
}

TEST(CallArgumentFailures, AreReportedAndKeepWhatCameBefore)
{
    expectEncodings({
        {"lone i32 writes nothing", {"i32"}, {}, "no integer supplied for 'i32'", 1},
        {"lone s16", {"i32", "1", "s16"}, expectedWords({1}), "no string supplied for 's16'", 3},
        {"kind words are case sensitive; nothing after is read",
         {"null", "I32", "5", "i32", "6"},
         expectedWords({0, 0}),
         "unknown option I32",
         2},
        {"an empty argument is an unknown option", {""}, {}, "unknown option ", 1},
    });
}

// The intent record is action, data, type, launch flags, component, the number of
// categories and each category, then -1; an absent text is -1.
TEST(IntentArguments, FillTheRecordInItsOwnOrder)
{
    const Words empty = expectedWords({-1, -1, -1, 0, -1, 0, -1});
    expectEncodings({
        {"alone: seven int32s", {"intent"}, empty},
        {"fields in record order whatever the given order",
         {"intent", "component=c", "type=t", "data=d", "action=a", "launchFlags=-3"},
         expectedWords({u"a", u"d", u"t", -3, u"c", 0, -1})},
        {"every later word is a field; unknown keys are skipped",
         {"intent", "action=go", "launchFlags=12", "i32", "5", "null", "Action=x"},
         expectedWords({u"go", -1, -1, 12, -1, 0, -1})},
        // Leading '=' are skipped, runs count as one, and text after VALUE is ignored.
        {"'=' splits like strtok",
         {"intent", "=data=d", "type==t", "action=go=stop", "component==="},
         expectedWords({u"go", u"d", u"t", 0, -1, 0, -1})},
        {"a later assignment replaces an earlier one; a bare key clears",
         {"intent", "type=a", "type=b", "action=go", "action", "launchFlags=5", "launchFlags"},
         expectedWords({-1, -1, u"b", 0, -1, 0, -1})},
        {"categories in order, without empty items",
         {"intent", "categories=a,,b,", "action=x"},
         expectedWords({u"x", -1, -1, 0, -1, 2, u"a", u"b", -1})},
        {"categories without a value are empty", {"intent", "categories=a,b", "categories"}, empty},
        {"categories of commas alone are empty", {"intent", "categories=,,,"}, empty},
        {"an argument without a key ends the fields",
         {"intent", "action=go", "", "i32", "5"},
         expectedWords({u"go", -1, -1, 0, -1, 0, -1}),
         "unknown option ",
         3},
        {"equals signs alone end the fields too",
         {"i32", "1", "intent", "==", "i32", "5"},
         expectedWords({1, -1, -1, -1, 0, -1, 0, -1}),
         "unknown option ==",
         4},
        // The second "intent" is read as an unknown key of the first.
        {"two intents need an end between them",
         {"intent", "action=a", "intent", "action=b"},
         expectedWords({u"b", -1, -1, 0, -1, 0, -1})},
    });
}

TEST(IntentArguments, AnyNumberOfCategoriesFit)
{
    std::string list;
    Words expected = expectedWords({-1, -1, -1, 0, -1, 40});
    for (int i = 0; i < 40; ++i) {
        const std::string name = "c" + std::to_string(i);
        list += (i ? "," : "") + name;
        const std::u16string units(name.begin(), name.end());
        const Words item = expectedWords({units.c_str()});
        expected.insert(expected.end(), item.begin(), item.end());
    }
    expected.push_back(0xFFFFFFFFu);
    Encoding encoding({"intent", "categories=" + list});
    EXPECT_EQ(encoding.words(), expected);
    expectOutcome(encoding);
}

// ---------------------------------------------------------------------------
// Values the data parcel has no room for: a bad argument, with nothing of it and
// nothing after it written. Each limit is tried at the exact cap and one past it.

// Units of the longest string a parcel still takes after `used` bytes.
size_t longestStringAfter(size_t used)
{
    size_t units = 0;
    while (used + Parcel::string16Size(units + 1) <= quorvel::MAX_PARCEL_DATA)
        ++units;
    return units;
}

TEST(ArgumentLimits, LongestStringFillsTheParcelAndOneUnitMoreIsRefused)
{
    const size_t longest = longestStringAfter(4);
    const Encoding full({"i32", "5", "s16", std::string(longest, 'x')});
    expectOutcome(full);
    EXPECT_EQ(full.data.dataSize(), quorvel::MAX_PARCEL_DATA);

    const Encoding over({"i32", "5", "s16", std::string(longest + 1, 'x'), "i32", "7", "null"});
    expectOutcome(over, "s16 argument too large", 4);
    EXPECT_EQ(over.words(), expectedWords({5}));
}

TEST(ArgumentLimits, NothingFitsIntoAFullParcel)
{
    const std::string full(longestStringAfter(0), 'x');
    const Encoding i32({"s16", full, "i32", "7"});
    expectOutcome(i32, "i32 argument too large", 4);
    EXPECT_EQ(i32.data.dataSize(), quorvel::MAX_PARCEL_DATA);
    const Encoding null({"s16", full, "null", "i32", "7"});
    expectOutcome(null, "null argument too large", 3);
    EXPECT_EQ(null.data.dataSize(), quorvel::MAX_PARCEL_DATA);
}

TEST(ArgumentLimits, IntentIsWrittenWholeOrNotAtAll)
{
    // The record's other six words are data, type, launch flags, component, the
    // category count and the end mark.
    const size_t longest = longestStringAfter(4 + 6 * 4);
    const Encoding full({"i32", "5", "intent", "action=" + std::string(longest, 'x')});
    expectOutcome(full);
    EXPECT_EQ(full.data.dataSize(), quorvel::MAX_PARCEL_DATA);

    for (const size_t actionUnits : {longest + 1, longestStringAfter(6 * 4)}) {
        SCOPED_TRACE(actionUnits);
        const Encoding over({"i32", "5", "intent", "action=" + std::string(actionUnits, 'x'), "data=d"});
        expectOutcome(over, "intent argument too large", 5);
        EXPECT_EQ(over.words(), expectedWords({5}));
    }
}

} // namespace
