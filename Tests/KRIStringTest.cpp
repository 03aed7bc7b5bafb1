#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "KRIString.h"

namespace {

int32_t shares(const KRIString& s) {
    return s.sharedBuffer().refCount.load();
}
size_t capacity(const KRIString& s) {
    return s.sharedBuffer().capacity;
}

TEST(KRIStringConstruction, DefaultHasRoomFor32Characters) {
    KRIString s;
    EXPECT_STREQ("", s.c_str());
    EXPECT_EQ(33u, capacity(s));
    EXPECT_EQ(1, shares(s));
}

TEST(KRIStringConstruction, LengthBoundsTheCopiedText) {
    KRIString shortened("abcdef", 3);
    EXPECT_STREQ("abc", shortened.c_str());
    EXPECT_EQ(3u, shortened.length());
    EXPECT_EQ(4u, capacity(shortened));

    KRIString padded("ab", 5);
    EXPECT_STREQ("ab", padded.c_str());
    EXPECT_EQ(2u, padded.length());
    EXPECT_EQ(6u, capacity(padded));

    KRIString whole("abcdef");
    EXPECT_EQ(6u, whole.length());
    EXPECT_EQ(7u, capacity(whole));

    KRIString fromNull(nullptr);
    EXPECT_STREQ("", fromNull.c_str());
}

TEST(KRIStringSharing, CopiesShareOneBufferUntilChanged) {
    KRIString original("hello");
    KRIString copy(original);
    EXPECT_EQ(&original.sharedBuffer(), &copy.sharedBuffer());
    EXPECT_EQ(2, shares(original));

    copy += KRIString(" world");
    EXPECT_STREQ("hello", original.c_str());
    EXPECT_STREQ("hello world", copy.c_str());
    EXPECT_NE(&original.sharedBuffer(), &copy.sharedBuffer());
    EXPECT_EQ(1, shares(original));
    EXPECT_EQ(1, shares(copy));
}

TEST(KRIStringSharing, AssignmentMovesTheShare) {
    KRIString a("first");
    KRIString b("second");
    KRIString keep(b);
    b = a;
    EXPECT_STREQ("second", keep.c_str());
    EXPECT_EQ(1, shares(keep));
    EXPECT_EQ(2, shares(a));
    EXPECT_STREQ("first", b.c_str());

    const KRIString& alias = b;
    b = alias;
    EXPECT_STREQ("first", b.c_str());
    EXPECT_EQ(2, shares(a));
}

TEST(KRIStringAppend, UnsharedBufferGrowsToExactlyTheCombinedLength) {
    KRIString s("abc");
    const KRIString::StringBuffer* before = &s.sharedBuffer();
    s += KRIString("defg");
    EXPECT_EQ(before, &s.sharedBuffer());
    EXPECT_STREQ("abcdefg", s.c_str());
    EXPECT_EQ(7u + 2u, capacity(s));

    // Reallocated even though the default buffer had room to spare.
    KRIString roomy;
    roomy += KRIString("xy");
    EXPECT_EQ(2u + 2u, capacity(roomy));
}

TEST(KRIStringAppend, AppendingToItselfDoublesTheText) {
    KRIString s("abc");
    s += s;
    EXPECT_STREQ("abcabc", s.c_str());

    KRIString shared("xyz");
    KRIString copy(shared);
    copy += shared;
    EXPECT_STREQ("xyzxyz", copy.c_str());
    EXPECT_STREQ("xyz", shared.c_str());
}

TEST(KRIStringAppend, PlusLeavesBothOperands) {
    KRIString a("left");
    KRIString b("right");
    KRIString sum = a + b;
    EXPECT_STREQ("leftright", sum.c_str());
    EXPECT_STREQ("left", a.c_str());
    EXPECT_STREQ("right", b.c_str());
    EXPECT_STREQ("", (KRIString("") + KRIString("")).c_str());
}

TEST(KRIStringSearch, FindReportsPositionsFromTheBeginning) {
    KRIString s("abcabc");
    EXPECT_EQ(1, s.find(KRIString("bc"), 0));
    EXPECT_EQ(4, s.find(KRIString("bc"), 2));
    EXPECT_EQ(-1, s.find(KRIString("bc"), 5));
    EXPECT_EQ(-1, s.find(KRIString("x"), 0));
    EXPECT_EQ(3, s.find(KRIString(""), 3));
    EXPECT_EQ(6, s.find(KRIString(""), 6));
    EXPECT_EQ(-1, s.find(KRIString(""), 7));
    EXPECT_EQ(-1, s.find(KRIString("abcabcd"), 0));
}

TEST(KRIStringSearch, CompareIsBytewiseUnsigned) {
    EXPECT_EQ(0, KRIString("abc").compare(KRIString("abc")));
    EXPECT_LT(KRIString("abc").compare(KRIString("abd")), 0);
    EXPECT_GT(KRIString("abc").compare(KRIString("ab")), 0);
    EXPECT_GT(KRIString("\xE9").compare(KRIString("z")), 0);
    EXPECT_TRUE(KRIString("abc") == KRIString("abc"));
    EXPECT_TRUE(KRIString("abc") != KRIString("abd"));
}

TEST(KRIStringSearch, CharAtReadsUpToTheTerminator) {
    KRIString s("ab");
    EXPECT_EQ('b', s.charAt(1));
    EXPECT_EQ('\0', s.charAt(2));
}

TEST(KRIStringSubstring, StopsAtTheEndOfTheText) {
    KRIString s("abcde");
    EXPECT_STREQ("de", s.substring(3, 10).c_str());
    EXPECT_STREQ("bcd", s.substring(1, 3).c_str());
    EXPECT_STREQ("", s.substring(5, 3).c_str());
    EXPECT_STREQ("", s.substring(6, 3).c_str());
    EXPECT_STREQ("abcde", s.c_str());
}

TEST(KRIStringFormat, ThirtyTwoCharactersFitTheDefaultBuffer) {
    const std::string exact(32, 'x');
    KRIString s;
    EXPECT_STREQ(exact.c_str(), s.format("%s", exact.c_str()));
    EXPECT_EQ(33u, capacity(s));
    EXPECT_EQ(32u, s.length());
}

TEST(KRIStringFormat, ThirtyThreeCharactersGrowOnce) {
    const std::string over(33, 'y');
    KRIString s;
    EXPECT_STREQ(over.c_str(), s.format("%s", over.c_str()));
    EXPECT_EQ(67u, capacity(s));
}

TEST(KRIStringFormat, GrowsByDoublingUntilTheOutputFits) {
    struct Case {
        size_t outputLength;
        size_t expectedCapacity;
    };
    for (const Case c :
         {Case{66, 67}, Case{67, 135}, Case{134, 135}, Case{135, 271}, Case{271, 543}}) {
        const std::string text(c.outputLength, 'z');
        KRIString s;
        EXPECT_STREQ(text.c_str(), s.format("%s", text.c_str())) << c.outputLength;
        EXPECT_EQ(c.expectedCapacity, capacity(s)) << c.outputLength;
    }
}

TEST(KRIStringFormat, ReplacesTextAndLeavesCopiesAlone) {
    KRIString s("previous");
    KRIString copy(s);
    EXPECT_STREQ("7-seventeen", s.format("%d-%s", 7, "seventeen"));
    EXPECT_STREQ("previous", copy.c_str());
    // The private copy has exactly the old text's room, so this output must grow it.
    EXPECT_EQ(19u, capacity(s));
    EXPECT_EQ(1, shares(copy));
}

// The copy is changed on the other thread while this thread keeps reading the original, then
// this thread changes the original too: copy on write must keep both texts intact and the
// share count must settle without a data race.
TEST(KRIStringThreads, CopyChangedOnAnotherThreadWhileOriginalIsRead) {
    for (int round = 0; round < 200; ++round) {
        KRIString original("shared text of some length");
        KRIString forWorker(original);
        std::atomic<bool> workerOk{false};
        std::thread worker([copy = forWorker, &workerOk]() mutable {
            copy += KRIString(" plus more");
            KRIString formatted(copy);
            formatted.format("%u and %d", copy.length(), 42);
            workerOk = copy == KRIString("shared text of some length plus more") &&
                       formatted == KRIString("36 and 42");
        });
        forWorker = KRIString();
        bool readOk = true;
        for (int i = 0; i < 50; ++i) {
            readOk = readOk && original.length() == 26 &&
                     original.find(KRIString("some"), 0) == 15 && original.charAt(0) == 's';
        }
        original += KRIString("!");
        worker.join();
        ASSERT_TRUE(readOk) << round;
        ASSERT_TRUE(workerOk.load()) << round;
        ASSERT_STREQ("shared text of some length!", original.c_str());
        ASSERT_EQ(1, shares(original));
    }
}

TEST(KRIStringThreads, CopiesMadeAndDroppedOnManyThreadsKeepTheCount) {
    const KRIString original("counted");
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([handed = original]() {
            for (int i = 0; i < 2000; ++i) {
                KRIString local(handed);
                std::vector<KRIString> held(3, local);
            }
        });
    }
    for (std::thread& w : workers) {
        w.join();
    }
    EXPECT_EQ(1, shares(original));
    EXPECT_STREQ("counted", original.c_str());
}

}  // namespace
