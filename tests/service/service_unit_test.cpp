// In-process tests of the tool's file-local helpers: the display text, the
// interface descriptor query and the call argument encoder. The tool's source is
// included so that its anonymous-namespace functions are visible here.
#include "service_main.cpp"

#include <gtest/gtest.h>

#include <quorvel/binder.h>
#include <quorvel/parcel.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <quorvel/text_output.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using quorvel::LocalBinder;

// Captures what the code under test writes on standard error: aerr writes to
// descriptor 2 itself, so the descriptor is redirected to a temporary file.
class StderrCapture {
public:
    StderrCapture()
    {
        aerr.flush();
        char path[] = "/tmp/service_unit_stderr_XXXXXX";
        mFile = mkostemp(path, O_CLOEXEC);
        unlink(path);
        mSaved = fcntl(2, F_DUPFD_CLOEXEC, 3);
        dup2(mFile, 2);
    }
    ~StderrCapture()
    {
        restore();
        close(mFile);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text()
    {
        restore();
        std::string result;
        char buffer[512];
        ssize_t n;
        lseek(mFile, 0, SEEK_SET);
        while ((n = read(mFile, buffer, sizeof buffer)) > 0)
            result.append(buffer, static_cast<size_t>(n));
        return result;
    }

private:
    void restore()
    {
        if (mSaved < 0)
            return;
        aerr.flush();
        dup2(mSaved, 2);
        close(mSaved);
        mSaved = -1;
    }

    int mFile = -1;
    int mSaved = -1;
};

std::vector<uint8_t> bytesOf(const Parcel& parcel)
{
    return std::vector<uint8_t>(parcel.data(), parcel.data() + parcel.dataSize());
}

// Two parcels carry the same values when their bytes and object counts agree.
void expectSameParcel(const Parcel& actual, const Parcel& expected)
{
    EXPECT_EQ(bytesOf(actual), bytesOf(expected));
    EXPECT_EQ(actual.objectsCount(), expected.objectsCount());
}

// One run of the encoder over a command line's call arguments, as the tool sees
// them after SERVICE and CODE.
struct Encoding {
    explicit Encoding(std::vector<std::string> arguments) : given(arguments), storage(std::move(arguments))
    {
        for (std::string& argument : storage)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        StderrCapture capture;
        encodeCallArguments(static_cast<int>(storage.size()), argv.data(), cursor, data, run);
        diagnostics = capture.text();
    }

    // The arguments as they were before encoding, to prove nothing was changed.
    std::vector<std::string> given;
    std::vector<std::string> storage;
    std::vector<char*> argv;
    int cursor = 0;
    Parcel data;
    Run run;
    std::string diagnostics;

    std::vector<std::string> argumentsNow() const
    {
        std::vector<std::string> now;
        for (size_t i = 0; i + 1 < argv.size(); ++i)
            now.emplace_back(argv[i]);
        return now;
    }
};

// The intent record written value by value through the parcel's own writers.
struct Intent {
    const char* action = nullptr;
    const char* data = nullptr;
    const char* type = nullptr;
    int32_t launchFlags = 0;
    const char* component = nullptr;
    std::vector<const char*> categories;

    void writeTo(Parcel& parcel) const
    {
        for (const char* text : {action, data, type}) {
            if (text)
                parcel.writeString16(String16(text));
            else
                parcel.writeInt32(-1);
        }
        parcel.writeInt32(launchFlags);
        if (component)
            parcel.writeString16(String16(component));
        else
            parcel.writeInt32(-1);
        parcel.writeInt32(static_cast<int32_t>(categories.size()));
        for (const char* category : categories)
            parcel.writeString16(String16(category));
        parcel.writeInt32(-1);
    }
};

void expectAccepted(const Encoding& encoding)
{
    EXPECT_EQ(encoding.run.status, 0);
    EXPECT_FALSE(encoding.run.usageRequested);
    EXPECT_EQ(encoding.diagnostics, "");
    EXPECT_EQ(encoding.cursor, static_cast<int>(encoding.given.size()));
    EXPECT_EQ(encoding.argumentsNow(), encoding.given);
}

void expectRejected(const Encoding& encoding, const std::string& diagnostic, int cursorAfter)
{
    EXPECT_EQ(encoding.run.status, 10);
    EXPECT_TRUE(encoding.run.usageRequested);
    EXPECT_EQ(encoding.diagnostics, diagnostic + "\n");
    EXPECT_EQ(encoding.cursor, cursorAfter);
    EXPECT_EQ(encoding.argumentsNow(), encoding.given);
}

// ---------------------------------------------------------------------------
// Display text

std::string display(const String16& text)
{
    return toAsciiString8(text).string();
}

TEST(DisplayText, AsciiComesOutByteForByte)
{
    EXPECT_EQ(display(String16("quorvel.example.IEcho")), "quorvel.example.IEcho");
    std::u16string every;
    std::string expected;
    for (char16_t unit = 1; unit < 128; ++unit) {
        every.push_back(unit);
        expected.push_back(static_cast<char>(unit));
    }
    EXPECT_EQ(display(String16(every)), expected);
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
    EXPECT_EQ(display(String16(u"\u007f")), "\x7f");
}

// ---------------------------------------------------------------------------
// Interface descriptor query

// Answers every transaction with a fixed status and reply, and remembers what it
// was asked.
class ScriptedBinder : public LocalBinder {
public:
    ScriptedBinder(quorvel::status_t status, std::vector<const char*> replyStrings)
        : mStatus(status), mReplyStrings(std::move(replyStrings))
    {
    }

    int transactions = 0;
    uint32_t lastCode = 0;
    size_t lastDataSize = SIZE_MAX;

protected:
    quorvel::status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        ++transactions;
        lastCode = code;
        lastDataSize = data.dataSize();
        for (const char* text : mReplyStrings)
            reply->writeString16(String16(text));
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

TEST(InterfaceDescriptorOf, RefusedQueryMeansNoDescriptor)
{
    sp<ScriptedBinder> binder(new ScriptedBinder(quorvel::UNKNOWN_TRANSACTION, {"quorvel.example.IEcho"}));
    EXPECT_EQ(interfaceDescriptorOf(binder).size(), 0u);
    EXPECT_EQ(binder->transactions, 1);
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
// Call argument encoder: the plain kinds

TEST(CallArguments, I32S16AndNullAppendInOrder)
{
    Encoding encoding({"i32", "7", "s16", "hi", "null"});
    Parcel expected;
    expected.writeInt32(7);
    expected.writeString16(String16("hi"));
    expected.writeStrongBinder(sp<IBinder>());
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(CallArguments, NoArgumentsWriteNothing)
{
    Encoding encoding({});
    EXPECT_EQ(encoding.data.dataSize(), 0u);
    expectAccepted(encoding);
}

TEST(CallArguments, IntegersConvertLikeAtoiAndSaturate)
{
    Encoding encoding({"i32", "-5", "i32", "  +7", "i32", "12abc", "i32", "abc", "i32", "",
                       "i32", "2147483647", "i32", "2147483648", "i32", "-99999999999"});
    Parcel expected;
    for (int32_t value : {-5, 7, 12, 0, 0, INT32_MAX, INT32_MAX, INT32_MIN})
        expected.writeInt32(value);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(CallArguments, EmptyStringIsAValue)
{
    Encoding encoding({"s16", "", "s16", "i32"});
    Parcel expected;
    expected.writeString16(String16(""));
    expected.writeString16(String16("i32"));
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

// ---------------------------------------------------------------------------
// Call argument encoder: failures

TEST(CallArgumentFailures, LoneI32IsReportedAndWritesNothing)
{
    Encoding encoding({"i32"});
    EXPECT_EQ(encoding.data.dataSize(), 0u);
    expectRejected(encoding, "service: no integer supplied for 'i32'", 1);
}

TEST(CallArgumentFailures, LoneS16KeepsWhatCameBefore)
{
    Encoding encoding({"i32", "1", "s16"});
    Parcel expected;
    expected.writeInt32(1);
    expectSameParcel(encoding.data, expected);
    expectRejected(encoding, "service: no string supplied for 's16'", 3);
}

TEST(CallArgumentFailures, KindWordsAreCaseSensitiveAndNothingAfterIsRead)
{
    Encoding encoding({"null", "I32", "5", "i32", "6"});
    Parcel expected;
    expected.writeStrongBinder(sp<IBinder>());
    expectSameParcel(encoding.data, expected);
    expectRejected(encoding, "service: unknown option I32", 2);
}

TEST(CallArgumentFailures, EmptyArgumentIsAnUnknownOption)
{
    Encoding encoding({""});
    EXPECT_EQ(encoding.data.dataSize(), 0u);
    expectRejected(encoding, "service: unknown option ", 1);
}

// ---------------------------------------------------------------------------
// Call argument encoder: intents

TEST(IntentArguments, AloneIsSevenInt32s)
{
    Encoding encoding({"intent"});
    Parcel expected;
    for (int32_t value : {-1, -1, -1, 0, -1, 0, -1})
        expected.writeInt32(value);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(IntentArguments, FieldsAreWrittenInRecordOrderWhateverTheGivenOrder)
{
    Encoding encoding({"intent", "component=c", "type=t", "data=d", "action=a", "launchFlags=-3"});
    Parcel expected;
    Intent{"a", "d", "t", -3, "c", {}}.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(IntentArguments, EveryLaterWordIsAFieldAndUnknownKeysAreSkipped)
{
    Encoding encoding({"intent", "action=go", "launchFlags=12", "i32", "5", "null", "Action=x"});
    Parcel expected;
    Intent{"go", nullptr, nullptr, 12, nullptr, {}}.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(IntentArguments, EqualsSignsSplitLikeStrtok)
{
    // Leading '=' are skipped, runs count as one, and text after VALUE is ignored.
    Encoding encoding({"intent", "=data=d", "type==t", "action=go=stop", "component==="});
    Parcel expected;
    Intent{"go", "d", "t", 0, nullptr, {}}.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(IntentArguments, LaterAssignmentReplacesEarlierAndBareKeyClears)
{
    Encoding encoding({"intent", "type=a", "type=b", "action=go", "action", "launchFlags=5", "launchFlags"});
    Parcel expected;
    Intent{nullptr, nullptr, "b", 0, nullptr, {}}.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(IntentArguments, CategoriesAreCarriedInOrderWithoutEmptyItems)
{
    Encoding encoding({"intent", "categories=a,,b,", "action=x"});
    Parcel expected;
    Intent{"x", nullptr, nullptr, 0, nullptr, {"a", "b"}}.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(IntentArguments, AnyNumberOfCategoriesFit)
{
    std::string list;
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
        names.push_back("c" + std::to_string(i));
        list += (i ? "," : "") + names.back();
    }
    Encoding encoding({"intent", "categories=" + list});
    Parcel expected;
    Intent intent;
    for (const std::string& name : names)
        intent.categories.push_back(name.c_str());
    intent.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

TEST(IntentArguments, CategoriesWithoutValueOrOnlyCommasAreEmpty)
{
    Encoding bare({"intent", "categories=a,b", "categories"});
    Encoding commas({"intent", "categories=,,,"});
    Encoding alone({"intent"});
    expectSameParcel(bare.data, alone.data);
    expectSameParcel(commas.data, alone.data);
    expectAccepted(bare);
    expectAccepted(commas);
}

TEST(IntentArguments, ArgumentWithoutKeyEndsTheFieldsAndIsReported)
{
    Encoding encoding({"intent", "action=go", "", "i32", "5"});
    Parcel expected;
    Intent{"go", nullptr, nullptr, 0, nullptr, {}}.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectRejected(encoding, "service: unknown option ", 3);
}

TEST(IntentArguments, OnlyEqualsSignsEndTheFieldsToo)
{
    Encoding encoding({"i32", "1", "intent", "==", "i32", "5"});
    Parcel expected;
    expected.writeInt32(1);
    Intent{}.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectRejected(encoding, "service: unknown option ==", 4);
}

TEST(IntentArguments, TwoIntentsNeedAnEndBetweenThem)
{
    // The second "intent" is read as an unknown key of the first.
    Encoding encoding({"intent", "action=a", "intent", "action=b"});
    Parcel expected;
    Intent{"b", nullptr, nullptr, 0, nullptr, {}}.writeTo(expected);
    expectSameParcel(encoding.data, expected);
    expectAccepted(encoding);
}

} // namespace
