// String16 from UTF-8 (valid and broken input), String8, and reference counting.
#include <quorvel/ref_base.h>
#include <quorvel/string16.h>
#include <quorvel/string8.h>
#include <quorvel/strong_pointer.h>
#include <quorvel/vector.h>

#include <gtest/gtest.h>

#include <string>

namespace quorvel {
namespace {

std::u16string decoded(const char* utf8)
{
    return std::u16string(String16(utf8).view());
}

TEST(String16FromUtf8, ValidTextOfEveryLength)
{
    EXPECT_EQ(decoded("abc"), u"abc");
    EXPECT_EQ(decoded("Caf\xC3\xA9"), u"Caf\u00e9");
    EXPECT_EQ(decoded("\xE2\x98\x83"), u"\u2603");
    EXPECT_EQ(decoded("\xF0\x9F\x98\x80"), u"\U0001F600"); // a surrogate pair
    EXPECT_EQ(decoded("\xF4\x8F\xBF\xBF"), std::u16string({0xDBFF, 0xDFFF}));
    EXPECT_EQ(String16("\xF0\x9F\x98\x80").size(), 2u);
}

TEST(String16FromUtf8, NullAndEmptyGiveTheEmptyString)
{
    EXPECT_EQ(String16(static_cast<const char*>(nullptr)).size(), 0u);
    EXPECT_EQ(String16("").size(), 0u);
    EXPECT_EQ(String16().string()[0], u'\0');
}

TEST(String16FromUtf8, EachBrokenSequenceBecomesOneReplacement)
{
    // a stray continuation byte, and a lead byte that is never valid
    EXPECT_EQ(decoded("a\x80z"), u"a\uFFFDz");
    EXPECT_EQ(decoded("a\xFFz"), u"a\uFFFDz");
    // sequences cut short, in the middle and at the end
    EXPECT_EQ(decoded("a\xE2\x98z"), u"a\uFFFDz");
    EXPECT_EQ(decoded("a\xF0\x9F\x98"), u"a\uFFFD");
    EXPECT_EQ(decoded("\xC3"), u"\uFFFD");
    // overlong forms of '/' and of U+0000
    EXPECT_EQ(decoded("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(decoded("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");
    // an encoded surrogate, and a value past U+10FFFF
    EXPECT_EQ(decoded("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(decoded("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    // a broken sequence does not swallow the valid character after it
    EXPECT_EQ(decoded("\xE2\x98\xC3\xA9"), u"\uFFFD\u00e9");
}

TEST(String16Value, CopyLengthAndUnitAccess)
{
    const String16 a("h\xC3\xA9llo");
    String16 b = a;
    EXPECT_EQ(b, a);
    EXPECT_EQ(b.size(), 5u);
    EXPECT_EQ(b[1], u'\u00e9');
    EXPECT_EQ(b.string()[5], u'\0');
    b = String16("other");
    EXPECT_EQ(a.size(), 5u);
    EXPECT_LT(String16("a"), String16("b"));
}

TEST(String8Append, GrowsAndStaysTerminated)
{
    String8 s;
    EXPECT_STREQ(s.string(), "");
    s.append("ab");
    s.append(nullptr);
    s.append("");
    s.append("c");
    EXPECT_STREQ(s.string(), "abc");
    EXPECT_EQ(s.length(), 3u);
}

TEST(VectorOfString16, CountAndIndexedAccess)
{
    Vector<String16> v;
    EXPECT_TRUE(v.isEmpty());
    v.add(String16("x"));
    v.add(String16("y"));
    EXPECT_EQ(v.size(), 2u);
    EXPECT_EQ(v[1], String16("y"));
    EXPECT_EQ(v.itemAt(0), String16("x"));
}

// Sets a flag when it dies, so a test sees the exact moment.
class LifetimeProbe : public RefBase {
public:
    explicit LifetimeProbe(bool* destroyed)
        : mDestroyed(destroyed)
    {
    }
    ~LifetimeProbe() override { *mDestroyed = true; }

private:
    bool* mDestroyed;
};

TEST(StrongReferences, ObjectDiesExactlyWhenTheLastReferenceGoes)
{
    bool destroyed = false;
    sp<LifetimeProbe> first(new LifetimeProbe(&destroyed));
    EXPECT_EQ(first->getStrongCount(), 1);
    {
        sp<LifetimeProbe> copy = first;
        sp<RefBase> base = copy; // converting copy takes a reference too
        EXPECT_EQ(first->getStrongCount(), 3);
    }
    EXPECT_EQ(first->getStrongCount(), 1);
    EXPECT_FALSE(destroyed);
    sp<LifetimeProbe> moved = std::move(first);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(moved->getStrongCount(), 1);
    EXPECT_FALSE(destroyed);
    moved = nullptr;
    EXPECT_TRUE(destroyed);
}

TEST(StrongReferences, ReassignmentReleasesTheOldObjectAndSelfAssignmentIsSafe)
{
    bool firstDestroyed = false, secondDestroyed = false;
    sp<LifetimeProbe> p(new LifetimeProbe(&firstDestroyed));
    auto& alias = p;
    p = alias;
    EXPECT_FALSE(firstDestroyed);
    p = new LifetimeProbe(&secondDestroyed);
    EXPECT_TRUE(firstDestroyed);
    EXPECT_FALSE(secondDestroyed);
    p.clear();
    EXPECT_TRUE(secondDestroyed);
}

TEST(StrongReferences, ManualIncAndDecFollowTheSameCount)
{
    bool destroyed = false;
    auto* raw = new LifetimeProbe(&destroyed);
    raw->incStrong(nullptr);
    {
        sp<LifetimeProbe> p(raw);
    }
    EXPECT_FALSE(destroyed);
    raw->decStrong(nullptr);
    EXPECT_TRUE(destroyed);
}

} // namespace
} // namespace quorvel
