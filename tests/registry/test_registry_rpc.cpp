// The registry procedures through real RPC against a private daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unistd.h>

#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

class RegistryRpcTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        daemon_ = std::make_unique<PrivateDaemon>();
        std::string error;
        ASSERT_TRUE(daemon_->start(&error)) << error;
    }
    static void TearDownTestSuite() { daemon_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(daemon_ != nullptr && daemon_->running());
        rpc_ = std::make_unique<RegistryRpc>(*daemon_, 2, localCaller("tester"));
        ASSERT_TRUE(rpc_->connected());
        // Each test works below a key of its own.
        name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        base_ = rpc_->mustCreate(HKLM, "Tests\\" + name_);
    }

    RegistryRpc& rpc() { return *rpc_; }
    static std::unique_ptr<PrivateDaemon> daemon_;
    std::unique_ptr<RegistryRpc> rpc_;
    std::string name_;
    uint32_t base_ = 0;
};
std::unique_ptr<PrivateDaemon> RegistryRpcTest::daemon_;

// ---- Handles ----

TEST_F(RegistryRpcTest, NullSubKeyCreateResolvesEveryPredefinedHandle) {
    EXPECT_EQ(rpc().createKey(HKLM, "", true).hk, HKLM);
    EXPECT_EQ(rpc().createKey(HKU, "", true).hk, HKU);
    EXPECT_EQ(rpc().createKey(HKCC, "", true).hk, HKCC);
    EXPECT_EQ(rpc().createKey(HKDD, "", true).hk, HKDD);
    // HKEY_CLASSES_ROOT is the key HKLM\Software\Classes, given by its slot.
    CreateResult classes = rpc().createKey(HKCR, "", true);
    EXPECT_EQ(classes.retval, 0u);
    EXPECT_EQ(classes.hk, rpc().openKey(HKLM, "Software\\Classes").hk);
    EXPECT_LT(classes.hk, 0x80000000u);
    // 0x80000004 is no root; a slot number that names nothing fails too.
    CreateResult perf = rpc().createKey(0x80000004, "", true);
    EXPECT_EQ(perf.retval, 87u);
    EXPECT_EQ(perf.hk, 0u);
    EXPECT_EQ(rpc().createKey(1990, "", true).retval, 87u);
    EXPECT_EQ(rpc().createKeyEx(1990, "", "", 0, true).retval, 87u);
    EXPECT_EQ(rpc().openKeyEx(0x80000004, "Software").retval, 2u);
}

TEST_F(RegistryRpcTest, CurrentUserForLocalAndRemoteCallers) {
    rpc().caller = localCaller("carol");
    EXPECT_EQ(rpc().createKey(HKCU, "", true).retval, 87u);  // no key for carol yet
    EXPECT_EQ(rpc().createKey(HKCU, "Software").retval, 2u);
    uint32_t carol = rpc().mustCreate(HKU, "carol");
    uint32_t mine = rpc().mustCreate(HKCU, "Software\\Mine");
    EXPECT_EQ(rpc().openKey(carol, "Software\\Mine").hk, mine);
    EXPECT_EQ(rpc().createKey(HKCU, "", true).hk, carol);
    EXPECT_EQ(rpc().openKey(HKCU, "").hk, HKCU);  // empty sub-key: unresolved
    EXPECT_EQ(rpc().openKeyEx(HKCU, "", true).hk, HKCU);
    // The same name from another host is .Default's.
    rpc().caller = remoteCaller("carol");
    uint32_t dflt = rpc().openKey(HKU, ".Default").hk;
    EXPECT_EQ(rpc().createKey(HKCU, "", true).hk, dflt);
    EXPECT_EQ(rpc().openKey(HKCU, "Software\\Mine").retval, 2u);
    EXPECT_EQ(rpc().openKey(HKCU, "Software").retval, 0u);
    // User names are matched exactly.
    rpc().caller = localCaller("Carol");
    EXPECT_EQ(rpc().openKey(HKCU, "Software\\Mine").retval, 2u);
}

TEST_F(RegistryRpcTest, LongUserNameIsCutTo31Bytes) {
    std::string longName(40, 'u');
    longName[30] = 'z';
    uint32_t cut = rpc().mustCreate(HKU, longName.substr(0, 31));
    rpc().caller = localCaller(longName);
    EXPECT_EQ(rpc().createKey(HKCU, "", true).hk, cut);
    uint32_t under = rpc().mustCreate(HKCU, "Software\\Long");
    EXPECT_EQ(rpc().openKey(cut, "Software\\Long").hk, under);
    rpc().caller = localCaller(std::string(5000, 'x'));
    EXPECT_EQ(rpc().createKey(HKCU, "", true).retval, 87u);
}

// ---- Paths ----

TEST_F(RegistryRpcTest, PathsIgnoreCaseAndSingleExtraBackslashes) {
    uint32_t alpha = rpc().mustCreate(base_, "Case\\Alpha");
    EXPECT_EQ(rpc().openKey(base_, "case\\ALPHA").hk, alpha);
    EXPECT_EQ(rpc().openKey(base_, "\\Case\\Alpha").hk, alpha);
    EXPECT_EQ(rpc().openKey(base_, "Case\\Alpha\\").hk, alpha);
    EXPECT_EQ(rpc().openKey(base_, "Case\\\\Alpha").hk, alpha);
    EXPECT_EQ(rpc().openKeyEx(base_, "CASE\\\\alpha\\").hk, alpha);
    OpenResult triple = rpc().openKey(base_, "Case\\\\\\Alpha");
    EXPECT_EQ(triple.retval, 2u);
    EXPECT_EQ(triple.hk, 0u);
    EXPECT_EQ(rpc().openKey(base_, "\\\\Case").retval, 2u);
    // Trailing blanks and '=' are trimmed; other white space is not.
    EXPECT_EQ(rpc().openKey(base_, "Case\\Alpha ==").hk, alpha);
    EXPECT_EQ(rpc().openKey(base_, "Case\\Alpha\t").retval, 2u);
    // Creation treats runs of backslashes as one separator.
    uint32_t b = rpc().mustCreate(base_, "\\\\\\Runs\\\\\\A\\\\B\\\\\\");
    EXPECT_EQ(rpc().openKey(base_, "Runs\\A\\B").hk, b);
    EXPECT_EQ(rpc().queryInfoKey(rpc().openKey(base_, "Runs").hk).cSubKeys, 1u);
}

TEST_F(RegistryRpcTest, EmptyAndBlankSubKeys) {
    OpenResult blank = rpc().openKey(12345, "  ");
    EXPECT_EQ(blank.retval, 0u);
    EXPECT_EQ(blank.hk, 12345u);
    EXPECT_EQ(rpc().openKey(HKLM, "Software==").hk, rpc().openKey(HKLM, "Software").hk);
    OpenResult empty = rpc().openKeyEx(base_, "");
    EXPECT_EQ(empty.retval, 2u);
    EXPECT_EQ(empty.hk, 0u);
    EXPECT_EQ(rpc().openKeyEx(12345, "", true).hk, 12345u);
    EXPECT_EQ(rpc().openKey(base_, "Nothing").retval, 2u);
    rpc().setValueEx(base_, "val", 4, "abcd", 4);
    EXPECT_EQ(rpc().openKey(base_, "val").retval, 2u);  // a value is not a key
}

// ---- Create, delete, close, flush ----

TEST_F(RegistryRpcTest, CreateDispositionsAndClasses) {
    CreateResult made = rpc().createKeyEx(base_, "A\\B", "cls", 0);
    EXPECT_EQ(made.retval, 0u);
    EXPECT_EQ(made.disposition, 1u);
    EXPECT_EQ(rpc().openKey(base_, "A\\B").hk, made.hk);
    InfoResult b = rpc().queryInfoKey(made.hk);
    EXPECT_EQ(b.cls, "cls");
    EXPECT_EQ(b.cbClass, 3u);
    EXPECT_EQ(b.isClassNull, 0u);
    InfoResult a = rpc().queryInfoKey(rpc().openKey(base_, "A").hk);
    EXPECT_EQ(a.isClassNull, 1u);
    EXPECT_EQ(a.cls, PLACEHOLDER);
    // Existing key: opened, class kept.
    CreateResult again = rpc().createKeyEx(base_, "a\\b", "other", 1);
    EXPECT_EQ(again.disposition, 2u);
    EXPECT_EQ(again.hk, made.hk);
    EXPECT_EQ(rpc().queryInfoKey(made.hk).cls, "cls");
    CreateResult plain = rpc().createKey(base_, "A\\B");
    EXPECT_EQ(plain.retval, 0u);
    EXPECT_EQ(plain.hk, made.hk);
    EXPECT_EQ(plain.disposition, 0u);
    // A null sub-key: the handle's own key, reported as existing.
    CreateResult self = rpc().createKeyEx(made.hk, "", "", 0, true);
    EXPECT_EQ(self.retval, 0u);
    EXPECT_EQ(self.hk, made.hk);
    EXPECT_EQ(self.disposition, 2u);
    // A class-less create-ex gives the new key an empty class.
    CreateResult noClass = rpc().createKeyEx(base_, "C", "", 0, false, true);
    InfoResult c = rpc().queryInfoKey(noClass.hk);
    EXPECT_EQ(c.isClassNull, 0u);
    EXPECT_EQ(c.cls, "");
    // Nothing to create under.
    CreateResult nowhere = rpc().createKey(1990, "X");
    EXPECT_EQ(nowhere.retval, 2u);
    EXPECT_EQ(nowhere.hk, 0u);
}

TEST_F(RegistryRpcTest, DeleteRemovesSubtreeAndLeavesClosableHandles) {
    uint32_t top = rpc().mustCreate(base_, "Top");
    uint32_t leaf = rpc().mustCreate(base_, "Top\\Mid\\Leaf");
    ASSERT_EQ(rpc().setValueEx(leaf, "v", 3, "xyz", 3), 0u);
    EXPECT_EQ(rpc().deleteKey(base_, ""), 2u);
    EXPECT_EQ(rpc().deleteKey(base_, "Missing"), 2u);
    EXPECT_EQ(rpc().deleteKey(1990, "Top"), 2u);
    EXPECT_EQ(rpc().deleteKey(base_, "top"), 0u);
    EXPECT_EQ(rpc().openKey(base_, "Top").retval, 2u);
    EXPECT_EQ(rpc().queryInfoKey(base_).cSubKeys, 0u);
    EXPECT_EQ(rpc().queryInfoKey(leaf).retval, 2u);
    // Each deleted handle closes once.
    EXPECT_EQ(rpc().closeKey(leaf), 0u);
    EXPECT_EQ(rpc().closeKey(leaf), 2u);
    EXPECT_EQ(rpc().flushKey(top), 0u);  // flush closes a deleted handle too
    EXPECT_EQ(rpc().closeKey(top), 2u);
    EXPECT_EQ(rpc().closeKey(0x80000004), 2u);
}

TEST_F(RegistryRpcTest, SlotReuseGivesTheHandleToANewKey) {
    uint32_t first = rpc().mustCreate(base_, "First");
    ASSERT_EQ(rpc().deleteKey(base_, "First"), 0u);
    // The slot may have served keys of earlier tests that were never closed.
    int stale = 0;
    while (rpc().closeKey(first) == 0 && stale < 100) stale++;
    EXPECT_GE(stale, 1);
    uint32_t second = rpc().mustCreate(base_, "Second");
    EXPECT_EQ(second, first);
    // The handle is live again: closing it succeeds and changes nothing.
    EXPECT_EQ(rpc().closeKey(second), 0u);
    EXPECT_EQ(rpc().openKey(base_, "Second").hk, second);
    EXPECT_EQ(rpc().queryInfoKey(second).retval, 0u);
    // Deleted twice: two entries, two closes.
    ASSERT_EQ(rpc().deleteKey(base_, "Second"), 0u);
    ASSERT_EQ(rpc().mustCreate(base_, "Third"), first);
    ASSERT_EQ(rpc().deleteKey(base_, "Third"), 0u);
    EXPECT_EQ(rpc().closeKey(first), 0u);
    EXPECT_EQ(rpc().closeKey(first), 0u);
    EXPECT_EQ(rpc().closeKey(first), 2u);
}

TEST_F(RegistryRpcTest, FlushAndCloseOfLiveHandles) {
    uint32_t k = rpc().mustCreate(base_, "Live");
    EXPECT_EQ(rpc().flushKey(k), 0u);
    EXPECT_EQ(rpc().closeKey(k), 0u);
    EXPECT_EQ(rpc().closeKey(HKLM), 0u);
    EXPECT_EQ(rpc().openKey(base_, "Live").hk, k);
}

TEST_F(RegistryRpcTest, DeepTreeCreatedAndDeletedOverRpc) {
    std::string path = "deep";
    for (int i = 0; i < 20000; i++) path += "\\d";
    CreateResult deep = rpc().createKey(base_, path);
    ASSERT_EQ(deep.retval, 0u);
    EXPECT_EQ(rpc().openKey(base_, path).hk, deep.hk);
    EXPECT_EQ(rpc().deleteKey(base_, "deep"), 0u);
    EXPECT_EQ(rpc().openKey(base_, "deep").retval, 2u);
}

// ---- Values ----

TEST_F(RegistryRpcTest, SetValueExStringRules) {
    EXPECT_EQ(rpc().setValueEx(base_, "five", 1, "hello", 5), 0u);
    QueryResult five = rpc().queryValueEx(base_, "five", 32);
    EXPECT_EQ(five.retval, 0u);
    EXPECT_EQ(five.type, 1u);
    EXPECT_EQ(five.cbData, 6u);
    EXPECT_EQ(five.data, std::string("hello\0", 6));
    EXPECT_EQ(rpc().setValueEx(base_, "inner", 1, std::string("ab\0cd", 5), 5), 0u);
    EXPECT_EQ(rpc().queryValueEx(base_, "inner", 32).cbData, 3u);
    // cbData 0: sized from the text, never past the bytes received.
    EXPECT_EQ(rpc().setValueEx(base_, "sized", 2, std::string("abc\0zz", 6), 0), 0u);
    EXPECT_EQ(rpc().queryValueEx(base_, "sized", 32).data, std::string("abc\0", 4));
    EXPECT_EQ(rpc().setValueEx(base_, "unterminated", 1, "abc", 0), 0u);
    EXPECT_EQ(rpc().queryValueEx(base_, "unterminated", 32).data, std::string("abc\0", 4));
    EXPECT_EQ(rpc().setValueEx(base_, "empty", 1, std::string("\0", 1), 0), 0u);
    QueryResult empty = rpc().queryValueEx(base_, "empty", 8);
    EXPECT_EQ(empty.cbData, 1u);
    EXPECT_EQ(empty.data, std::string("\0", 1));
    EXPECT_EQ(rpc().setValueEx(base_, "binary", 3, "hello", 0), 0u);  // not a string type
    EnumValueResult binary = rpc().enumValue(base_, 0, 16, 16);
    EXPECT_EQ(binary.name, "binary");
    EXPECT_EQ(binary.cbData, 0u);
    // cbData beyond what was received: refused, value untouched.
    EXPECT_EQ(rpc().setValueEx(base_, "five", 3, "abc", 4), 87u);
    EXPECT_EQ(rpc().setValueEx(base_, "new", 3, "", 1), 87u);
    EXPECT_EQ(rpc().queryValueEx(base_, "five", 32).data, std::string("hello\0", 6));
    EXPECT_EQ(rpc().queryValueEx(base_, "new", 32).retval, 2u);
    EXPECT_EQ(rpc().setValueEx(1990, "x", 3, "abc", 3), 2u);
}

TEST_F(RegistryRpcTest, SetValueShortFormAndItsBounds) {
    EXPECT_EQ(rpc().setValue(base_, "S", 1, "text", 5), 0u);
    uint32_t s = rpc().openKey(base_, "S").hk;
    ASSERT_NE(s, 0u);
    QueryResult viaKey = rpc().queryValueEx(s, "", 32);
    EXPECT_EQ(viaKey.type, 1u);
    EXPECT_EQ(viaKey.data, std::string("text\0", 5));
    // QUERY_VALUE reads a sub-key's default value and never sends the type.
    QueryResult q = rpc().queryValue(base_, "S", 32);
    EXPECT_EQ(q.retval, 0u);
    EXPECT_EQ(q.type, 0u);
    EXPECT_EQ(q.data, std::string("text\0", 5));
    EXPECT_EQ(q.cbData, 5u);
    // Without sub-key: the handle's own default value.
    EXPECT_EQ(rpc().setValue(s, "", 1, "own", 2, true), 0u);
    EXPECT_EQ(rpc().queryValueEx(s, "", 32, true).data, std::string("ow\0", 3));
    // cbData may reach the NUL but not past it.
    EXPECT_EQ(rpc().setValue(base_, "T", 1, "abc", 5), 87u);
    EXPECT_EQ(rpc().openKey(base_, "T").retval, 2u);
    EXPECT_EQ(rpc().setValue(base_, "T", 1, "abc", 4), 0u);
    EXPECT_EQ(rpc().setValue(1990, "T", 1, "abc", 4), 2u);
}

TEST_F(RegistryRpcTest, QueryBuffersSmallZeroAndAbsent) {
    ASSERT_EQ(rpc().setValueEx(base_, "ten", 3, "0123456789", 10), 0u);
    QueryResult sizeOnly = rpc().queryValueEx(base_, "ten", 0, false, true);
    EXPECT_EQ(sizeOnly.retval, 0u);
    EXPECT_EQ(sizeOnly.cbData, 10u);
    EXPECT_EQ(sizeOnly.data, std::string(10, '\xAB'));
    QueryResult small = rpc().queryValueEx(base_, "ten", 4);
    EXPECT_EQ(small.retval, 234u);
    EXPECT_EQ(small.cbData, 10u);
    EXPECT_EQ(small.data, "0123");
    QueryResult zero = rpc().queryValueEx(base_, "ten", 0);
    EXPECT_EQ(zero.retval, 234u);
    EXPECT_EQ(zero.cbData, 10u);
    EXPECT_EQ(zero.data, "");
    QueryResult exact = rpc().queryValueEx(base_, "ten", 10);
    EXPECT_EQ(exact.retval, 0u);
    EXPECT_EQ(exact.data, "0123456789");
    EXPECT_EQ(exact.type, 3u);
    // Missing value: placeholder at zero capacity, cleared buffer otherwise.
    QueryResult missing = rpc().queryValueEx(base_, "nope", 0);
    EXPECT_EQ(missing.retval, 2u);
    EXPECT_EQ(missing.cbData, 0u);
    EXPECT_EQ(missing.type, 0u);
    EXPECT_EQ(missing.data, PLACEHOLDER_BYTES);
    QueryResult missingBuf = rpc().queryValueEx(base_, "nope", 5);
    EXPECT_EQ(missingBuf.retval, 2u);
    EXPECT_EQ(missingBuf.cbData, 5u);
    EXPECT_EQ(missingBuf.data, std::string(5, '\0'));
    EXPECT_EQ(rpc().queryValueEx(base_, "nope", 0, false, true).data, PLACEHOLDER_BYTES);
    EXPECT_EQ(rpc().queryValueEx(1990, "x", 0).retval, 2u);
    // A capacity no reply buffer is made for.
    QueryResult huge = rpc().queryValueEx(base_, "ten", 0xFFFFFFFFu);
    EXPECT_EQ(huge.retval, 1130u);
    EXPECT_EQ(huge.cbData, 0u);
    EXPECT_EQ(huge.data, PLACEHOLDER_BYTES);
    EXPECT_EQ(rpc().queryValue(base_, "ten", 0xFFFFFFFFu).retval, 1130u);
}

TEST_F(RegistryRpcTest, QueryOfEmptyValuesAndKeysWithoutDefault) {
    ASSERT_EQ(rpc().setValueEx(base_, "nothing", 3, "", 0), 0u);
    QueryResult q = rpc().queryValueEx(base_, "nothing", 8);
    EXPECT_EQ(q.retval, 0u);
    EXPECT_EQ(q.cbData, 1u);
    EXPECT_EQ(q.data, std::string("\0", 1));
    QueryResult z = rpc().queryValueEx(base_, "nothing", 0);
    EXPECT_EQ(z.retval, 0u);
    EXPECT_EQ(z.cbData, 1u);
    EXPECT_EQ(z.data, "");
    // A key without default value reads as an empty string of type 0.
    rpc().mustCreate(base_, "Bare");
    QueryResult bare = rpc().queryValueEx(base_, "Bare", 8);
    EXPECT_EQ(bare.retval, 0u);
    EXPECT_EQ(bare.type, 0u);
    EXPECT_EQ(bare.cbData, 1u);
    QueryResult self = rpc().queryValue(base_, "", 8, true);
    EXPECT_EQ(self.retval, 0u);
    EXPECT_EQ(self.cbData, 1u);
    EXPECT_EQ(rpc().queryValueEx(base_, "", 8).retval, 2u);  // "" is the default value only
    QueryResult sizeOnly = rpc().queryValue(base_, "Bare", 0, false, true);
    EXPECT_EQ(sizeOnly.cbData, 1u);
    EXPECT_EQ(sizeOnly.data, "\xAB");
}

TEST_F(RegistryRpcTest, DeleteValueNamesAsReceived) {
    uint32_t sub = rpc().mustCreate(base_, "Sub");
    ASSERT_EQ(rpc().setValueEx(base_, "v", 3, "1", 1), 0u);
    ASSERT_EQ(rpc().setValueEx(base_, "", 3, "d", 1, true), 0u);
    ASSERT_EQ(rpc().setValueEx(sub, "inner", 3, "i", 1), 0u);
    EXPECT_EQ(rpc().deleteValue(base_, "v "), 2u);  // not trimmed
    EXPECT_EQ(rpc().deleteValue(base_, "V"), 0u);
    EXPECT_EQ(rpc().deleteValue(base_, "v"), 2u);
    EXPECT_EQ(rpc().deleteValue(base_, "", true), 0u);
    EXPECT_EQ(rpc().queryValueEx(base_, "", 8, true).type, 0u);
    EXPECT_EQ(rpc().deleteValue(base_, "Sub\\inner"), 0u);
    EXPECT_EQ(rpc().queryInfoKey(sub).cValues, 0u);
    EXPECT_EQ(rpc().deleteValue(base_, "Sub"), 2u);  // a key is not a value
    EXPECT_EQ(rpc().deleteValue(1990, "v"), 2u);
}

// ---- Enumeration ----

TEST_F(RegistryRpcTest, EnumKeyOrderEndAndNameMaximum) {
    rpc().mustCreate(base_, "K2");
    rpc().mustCreate(base_, "K1");
    ASSERT_EQ(rpc().setValueEx(base_, "X", 3, "x", 1), 0u);
    EnumKeyResult k1 = rpc().enumKey(base_, 0, 16);
    EXPECT_EQ(k1.retval, 0u);
    EXPECT_EQ(k1.name, "K1");
    EXPECT_EQ(k1.cls, PLACEHOLDER);
    EXPECT_EQ(k1.cbName, 0u);
    EXPECT_EQ(k1.cbClass, 0u);
    EXPECT_EQ(rpc().enumKey(base_, 1, 16).name, "K2");
    EnumKeyResult end = rpc().enumKey(base_, 2, 16);
    EXPECT_EQ(end.retval, 259u);
    EXPECT_EQ(end.name, "");
    EXPECT_EQ(end.cls, PLACEHOLDER);
    EXPECT_EQ(end.cbName, 0u);
    // Names as long as the maximum or longer: exactly the maximum's bytes.
    EXPECT_EQ(rpc().enumKey(base_, 0, 2).name, "K1");
    EXPECT_EQ(rpc().enumKey(base_, 0, 1).name, "K");
    EnumKeyResult none = rpc().enumKey(base_, 0, 0);
    EXPECT_EQ(none.retval, 0u);
    EXPECT_EQ(none.name, "");
    EXPECT_EQ(rpc().enumKey(1990, 0, 16).retval, 2u);
    EXPECT_EQ(rpc().enumKey(base_, 0, 0xFFFFFFFFu).retval, 1130u);
}

TEST_F(RegistryRpcTest, EnumKeyExCapacitiesAndClasses) {
    rpc().createKeyEx(base_, "Plain", "", 0, false, true);
    rpc().createKeyEx(base_, "WithClass", "abcdef", 0);
    rpc().mustCreate(base_, "NoClassAtAll");
    // Newest first: NoClassAtAll, WithClass, Plain.
    EnumKeyResult bare = rpc().enumKeyEx(base_, 0, 16, 0);
    EXPECT_EQ(bare.retval, 0u);
    EXPECT_EQ(bare.name, "NoClassAtAll");
    EXPECT_EQ(bare.cbName, 12u);
    EXPECT_EQ(bare.cls, PLACEHOLDER);
    EXPECT_EQ(bare.cbClass, 0u);
    EXPECT_EQ(bare.ftLow, 0u);
    EXPECT_EQ(bare.ftHigh, 0u);
    EnumKeyResult zeros = rpc().enumKeyEx(base_, 0, 0, 0);
    EXPECT_EQ(zeros.retval, 0u);
    EXPECT_EQ(zeros.name, PLACEHOLDER);
    EXPECT_EQ(zeros.cls, PLACEHOLDER);
    EXPECT_EQ(zeros.cbName, 0u);
    EXPECT_EQ(zeros.cbClass, 0u);
    EnumKeyResult noClass = rpc().enumKeyEx(base_, 0, 16, 8);
    EXPECT_EQ(noClass.retval, 0u);
    EXPECT_EQ(noClass.cls, PLACEHOLDER);  // empty text, count 0
    EXPECT_EQ(noClass.cbClass, 0u);
    // A class is cut to its capacity; 234 only when it did not fit.
    EnumKeyResult cut = rpc().enumKeyEx(base_, 1, 16, 3);
    EXPECT_EQ(cut.retval, 234u);
    EXPECT_EQ(cut.cls, "abc");
    EXPECT_EQ(cut.cbClass, 3u);
    EXPECT_EQ(cut.name, "WithClass");
    EnumKeyResult exact = rpc().enumKeyEx(base_, 1, 16, 6);
    EXPECT_EQ(exact.retval, 0u);
    EXPECT_EQ(exact.cls, "abcdef");
    EnumKeyResult roomy = rpc().enumKeyEx(base_, 1, 16, 64);
    EXPECT_EQ(roomy.retval, 0u);
    EXPECT_EQ(roomy.cls, "abcdef");
    EXPECT_EQ(roomy.cbClass, 6u);
    // Names are cut the same way, with the count at the capacity.
    EnumKeyResult shortName = rpc().enumKeyEx(base_, 1, 4, 0);
    EXPECT_EQ(shortName.name, "With");
    EXPECT_EQ(shortName.cbName, 4u);
    EXPECT_EQ(rpc().enumKeyEx(base_, 1, 9, 0).name, "WithClass");
    // An empty class is a class of length 0.
    EnumKeyResult plain = rpc().enumKeyEx(base_, 2, 16, 8);
    EXPECT_EQ(plain.retval, 0u);
    EXPECT_EQ(plain.cbClass, 0u);
    // Past the end the counts stay as asked for.
    EnumKeyResult end = rpc().enumKeyEx(base_, 3, 16, 8);
    EXPECT_EQ(end.retval, 259u);
    EXPECT_EQ(end.name, "");
    EXPECT_EQ(end.cbName, 16u);
    EXPECT_EQ(end.cls, "");
    EXPECT_EQ(end.cbClass, 8u);
    EnumKeyResult endZero = rpc().enumKeyEx(base_, 3, 0, 0);
    EXPECT_EQ(endZero.name, PLACEHOLDER);
    EXPECT_EQ(rpc().enumKeyEx(1990, 0, 16, 8).retval, 2u);
    EXPECT_EQ(rpc().enumKeyEx(base_, 0, 16, 0xFFFFFFFFu).retval, 1130u);
}

TEST_F(RegistryRpcTest, EnumValueOrderDataAndNames) {
    ASSERT_EQ(rpc().setValueEx(base_, "", 1, std::string("dflt\0", 5), 5, true), 0u);
    ASSERT_EQ(rpc().setValueEx(base_, "Y", 3, "0123456789", 10), 0u);
    rpc().mustCreate(base_, "K");
    ASSERT_EQ(rpc().setValueEx(base_, "LongValueName", 4, "\x01\x02\x03\x04", 4), 0u);
    ASSERT_EQ(rpc().setValueEx(base_, "Z", 3, "", 0), 0u);
    // Newest first, the default value at the tail; the key is skipped.
    EnumValueResult z = rpc().enumValue(base_, 0, 16, 16);
    EXPECT_EQ(z.retval, 0u);
    EXPECT_EQ(z.name, "Z");
    EXPECT_EQ(z.cbName, 1u);
    EXPECT_EQ(z.type, 3u);
    EXPECT_EQ(z.data, PLACEHOLDER_BYTES);
    EXPECT_EQ(z.cbData, 0u);
    EnumValueResult lng = rpc().enumValue(base_, 1, 4, 16);
    EXPECT_EQ(lng.name, "Long");
    EXPECT_EQ(lng.cbName, 4u);
    EXPECT_EQ(lng.data, "\x01\x02\x03\x04");
    EXPECT_EQ(lng.type, 4u);
    // Data larger than the capacity: size reported, zero bytes sent.
    EnumValueResult y = rpc().enumValue(base_, 2, 16, 2);
    EXPECT_EQ(y.retval, 0u);
    EXPECT_EQ(y.name, "Y");
    EXPECT_EQ(y.cbData, 10u);
    EXPECT_EQ(y.data, std::string(2, '\0'));
    EnumValueResult yNoBuf = rpc().enumValue(base_, 2, 16, 0);
    EXPECT_EQ(yNoBuf.cbData, 10u);
    EXPECT_EQ(yNoBuf.data, PLACEHOLDER_BYTES);
    EXPECT_EQ(rpc().enumValue(base_, 2, 16, 10).data, "0123456789");
    EnumValueResult dflt = rpc().enumValue(base_, 3, 16, 16);
    EXPECT_EQ(dflt.retval, 0u);
    EXPECT_EQ(dflt.name, PLACEHOLDER);
    EXPECT_EQ(dflt.cbName, 0u);
    EXPECT_EQ(dflt.data, std::string("dflt\0", 5));
    EnumValueResult end = rpc().enumValue(base_, 4, 16, 16);
    EXPECT_EQ(end.retval, 259u);
    EXPECT_EQ(end.name, PLACEHOLDER);
    EXPECT_EQ(end.data, PLACEHOLDER_BYTES);
    EXPECT_EQ(end.cbName, 0u);
    EXPECT_EQ(end.cbData, 0u);
    EXPECT_EQ(end.type, 0u);
    EXPECT_EQ(rpc().enumValue(1990, 0, 16, 16).retval, 2u);
    EXPECT_EQ(rpc().enumValue(base_, 0, 0xFFFFFFFFu, 16).retval, 1130u);
    EXPECT_EQ(rpc().enumValue(base_, 0, 16, 0xFFFFFFFFu).retval, 1130u);
}

TEST_F(RegistryRpcTest, ShadowValuesAreQueriedButNotListed) {
    rpc().mustCreate(base_, "Sub");
    ASSERT_EQ(rpc().setValueEx(base_, "Sub", 4, "abcd", 4), 0u);
    EXPECT_EQ(rpc().enumValue(base_, 0, 16, 16).retval, 259u);
    EXPECT_EQ(rpc().queryInfoKey(base_).cValues, 0u);
    EXPECT_EQ(rpc().queryValueEx(base_, "Sub", 8).data, "abcd");
}

TEST_F(RegistryRpcTest, QueryInfoKeyCountsAndMaxima) {
    rpc().mustCreate(base_, "A");
    rpc().createKeyEx(base_, "BBB", "classy", 0);
    ASSERT_EQ(rpc().setValueEx(base_, "V", 3, "1234567", 7), 0u);
    rpc().mustCreate(base_, "A\\Grandchild");  // not a direct child
    InfoResult info = rpc().queryInfoKey(base_);
    EXPECT_EQ(info.retval, 0u);
    EXPECT_EQ(info.cSubKeys, 2u);
    EXPECT_EQ(info.cbMaxSubKeyLen, 3u);
    EXPECT_EQ(info.cbMaxClassLen, 6u);
    EXPECT_EQ(info.cValues, 1u);
    EXPECT_EQ(info.cbMaxValueNameLen, 1u);
    EXPECT_EQ(info.cbMaxValueLen, 7u);
    EXPECT_EQ(info.isClassNull, 1u);
    EXPECT_EQ(info.cls, PLACEHOLDER);
    EXPECT_EQ(info.cbClass, 0u);
    EXPECT_EQ(info.cbSecurityDescriptor, 0u);
    EXPECT_EQ(info.reserved, 0u);
    InfoResult missing = rpc().queryInfoKey(1990);
    EXPECT_EQ(missing.retval, 2u);
    EXPECT_EQ(missing.cls, PLACEHOLDER);
    EXPECT_EQ(missing.cSubKeys, 0u);
    EXPECT_EQ(missing.cValues, 0u);
}

TEST_F(RegistryRpcTest, FreshRegistryLayout) {
    // HKEY_USERS holds .Default (and the keys tests made); .Default has Software only.
    uint32_t dflt = rpc().openKey(HKU, ".Default").hk;
    ASSERT_NE(dflt, 0u);
    EXPECT_EQ(rpc().enumKey(dflt, 0, 64).name, "Software");
    EXPECT_EQ(rpc().enumKey(dflt, 1, 64).retval, 259u);
    EXPECT_EQ(rpc().openKey(HKCC, "Config").retval, 0u);
    EXPECT_EQ(rpc().openKey(HKCR, "").hk, HKCR);
    EXPECT_EQ(rpc().queryInfoKey(HKDD).cSubKeys, 0u);
}

// ---- Version 1 ----

TEST_F(RegistryRpcTest, VersionOneCallsCarryNoHeader) {
    RegistryRpc v1(*daemon_, 1, localCaller("ignored"));
    ASSERT_TRUE(v1.connected());
    EXPECT_EQ(v1.queryVersionMajor(), 2u);
    uint32_t base = v1.openKey(HKLM, "Tests\\" + name_).hk;
    EXPECT_EQ(base, base_);
    // A version-1 caller is ".Default" on host 123456: HKCU is .Default.
    uint32_t dflt = rpc().openKey(HKU, ".Default").hk;
    EXPECT_EQ(v1.createKey(HKCU, "", true).hk, dflt);
    uint32_t made = v1.mustCreate(HKCU, "Software\\V1Key");
    rpc().caller = remoteCaller("anyone");
    EXPECT_EQ(rpc().openKey(HKCU, "Software\\V1Key").hk, made);
    EXPECT_EQ(v1.setValueEx(made, "val", 1, std::string("one\0", 4), 4), 0u);
    QueryResult q = v1.queryValueEx(made, "val", 16);
    EXPECT_EQ(q.retval, 0u);
    EXPECT_EQ(q.data, std::string("one\0", 4));
    EXPECT_EQ(v1.enumValue(made, 0, 16, 16).name, "val");
    EXPECT_EQ(v1.enumKeyEx(made, 0, 16, 16).retval, 259u);
    EXPECT_EQ(v1.queryInfoKey(made).cValues, 1u);
    EXPECT_EQ(v1.deleteKey(HKCU, "Software\\V1Key"), 0u);
    EXPECT_EQ(v1.closeKey(made), 0u);
    EXPECT_EQ(v1.closeKey(0x80000004), 2u);
}

// ---- Trace lines ----

// The lines from the first equal to `first` through the next starting with `last`.
std::vector<std::string> between(const std::vector<std::string>& lines, const std::string& first,
                                 const std::string& last) {
    auto from = std::find(lines.begin(), lines.end(), first);
    auto to = std::find_if(from, lines.end(), [&](const std::string& l) { return l.rfind(last, 0) == 0; });
    return to == lines.end() ? std::vector<std::string>{} : std::vector<std::string>(from, to + 1);
}

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(RegistryTrace, SiblingProceduresTraceInsideTheirCallers) {
    PrivateDaemon d({"-v", "-l", "-1"});
    std::string error;
    ASSERT_TRUE(d.start(&error)) << error;
    RegistryRpc rpc(d, 2, localCaller("tracer"));
    ASSERT_EQ(rpc.setValue(HKLM, "Traced\\New", 1, "x", 2), 0u);
    ASSERT_EQ(rpc.flushKey(HKLM), 0u);
    ASSERT_EQ(rpc.deleteValue(HKLM, "missing"), 2u);
    std::vector<std::string> lines = logMessages(d);

    // The short set-value creates its key through create-key, which opens
    // it first: each callee's lines sit inside its caller's.
    std::vector<std::string> entries;
    for (const std::string& l : between(lines, "--> Entering reg_set_value_2()", "<-- Leaving reg_set_value_2()"))
        if (l.rfind("--> Entering", 0) == 0 || l.rfind("<-- Leaving", 0) == 0) entries.push_back(l);
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "--> Entering reg_set_value_2()", "--> Entering reg_create_key_2()",
                           "--> Entering reg_open_key_2()", "<-- Leaving reg_open_key_2()  retval = 2",
                           "<-- Leaving reg_create_key_2()  retval = 0",
                           "<-- Leaving reg_set_value_2()  retval = 0"}));
    std::vector<std::string> set = between(lines, "--> Entering reg_set_value_2()", "<-- Leaving reg_set_value_2()");
    EXPECT_TRUE(has(set, "    ptr->userName: tracer"));
    EXPECT_TRUE(has(set, "    lpSubKey: Traced\\New"));

    std::vector<std::string> flush = between(lines, "--> Entering reg_flush_key_2()", "<-- Leaving reg_flush_key_2()");
    EXPECT_TRUE(has(flush, "--> Entering reg_close_key_2()"));
    EXPECT_TRUE(has(flush, "    hKey: 0x80000002"));
    EXPECT_TRUE(has(flush, "<-- Leaving reg_close_key_2()  retval = 0"));
    EXPECT_TRUE(has(lines, "--> Entering reg_delete_value_2()"));
    d.stop();
}

}  // namespace
