// The registry procedures on the wire against a private daemon: null flags,
// counts and placeholders that the client library never sends or shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

class RegistryRpcTest : public SharedDaemonTest {
  protected:
    void SetUp() override {
        SharedDaemonTest::SetUp();
        rpc_ = std::make_unique<RegistryRpc>(*shared_, 2, localCaller("tester"));
        name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        base_ = rpc_->mustCreate(HKLM, "Tests\\" + name_);
    }

    RegistryRpc& rpc() { return *rpc_; }
    std::unique_ptr<RegistryRpc> rpc_;
    std::string name_;
    uint32_t base_ = 0;
};

TEST_F(RegistryRpcTest, PredefinedHandlesAndTheFreshLayout) {
    for (uint32_t root : {HKLM, HKU, HKCC, HKDD}) EXPECT_EQ(rpc().createKey(root, "", true).hk, root);
    // HKEY_CLASSES_ROOT is the key HKLM\Software\Classes, given by its slot.
    uint32_t classes = rpc().openKey(HKLM, "Software\\Classes").hk;
    EXPECT_EQ(show(rpc().createKey(HKCR, "", true)), "0 " + std::to_string(classes) + " 0");
    EXPECT_LT(classes, 0x80000000u);
    // 0x80000004 is no root; a slot number that names nothing fails too.
    EXPECT_EQ(show(rpc().createKey(0x80000004, "", true)), "87 0 0");
    EXPECT_EQ(rpc().createKey(1990, "", true).retval, 87u);
    EXPECT_EQ(rpc().createKeyEx(1990, "", "", 0, true).retval, 87u);
    EXPECT_EQ(rpc().openKeyEx(0x80000004, "Software").retval, 2u);
    // The fresh layout: HKEY_USERS\.Default has Software only; HKCC and HKCR are there.
    uint32_t dflt = rpc().openKey(HKU, ".Default").hk;
    EXPECT_EQ(show(rpc().enumKey(dflt, 0, 64)), "0 'Software'/0 'ZORP+IS+COOL'/0");
    EXPECT_EQ(rpc().enumKey(dflt, 1, 64).retval, 259u);
    EXPECT_EQ(rpc().openKey(HKCC, "Config").retval, 0u);
    EXPECT_EQ(rpc().openKey(HKCR, "").hk, HKCR);
    EXPECT_EQ(rpc().queryInfoKey(HKDD).cSubKeys, 0u);
}

TEST_F(RegistryRpcTest, CurrentUserForLocalRemoteLongAndVersionOneCallers) {
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
    // User names are matched exactly, and cut to 31 bytes.
    rpc().caller = localCaller("Carol");
    EXPECT_EQ(rpc().openKey(HKCU, "Software\\Mine").retval, 2u);
    std::string longName(40, 'u');
    longName[30] = 'z';
    uint32_t cut = rpc().mustCreate(HKU, longName.substr(0, 31));
    rpc().caller = localCaller(longName);
    EXPECT_EQ(rpc().createKey(HKCU, "", true).hk, cut);
    rpc().caller = localCaller(std::string(5000, 'x'));
    EXPECT_EQ(rpc().createKey(HKCU, "", true).retval, 87u);

    // Version-1 calls carry no header: the caller is .Default on host 123456.
    RegistryRpc v1(*shared_, 1, localCaller("ignored"));
    ASSERT_TRUE(v1.connected());
    EXPECT_EQ(v1.queryVersion(), "0 2.3.0");
    EXPECT_EQ(v1.openKey(HKLM, "Tests\\" + name_).hk, base_);
    EXPECT_EQ(v1.createKey(HKCU, "", true).hk, dflt);
    uint32_t made = v1.mustCreate(HKCU, "Software\\V1Key");
    rpc().caller = remoteCaller("anyone");
    EXPECT_EQ(rpc().openKey(HKCU, "Software\\V1Key").hk, made);
    EXPECT_EQ(v1.setValueEx(made, "val", 1, std::string("one\0", 4), 4), 0u);
    EXPECT_EQ(show(v1.queryValueEx(made, "val", 16)), "0 t1 'one\\0'/4");
    EXPECT_EQ(v1.deleteKey(HKCU, "Software\\V1Key"), 0u);
    EXPECT_EQ(v1.closeKey(made), 0u);
    EXPECT_EQ(v1.closeKey(0x80000004), 2u);
}

TEST_F(RegistryRpcTest, PathsIgnoreCaseAndSingleExtraBackslashes) {
    uint32_t alpha = rpc().mustCreate(base_, "Case\\Alpha");
    // Sub-key -> found; trailing blanks and '=' are trimmed, other white
    // space is not, and a run of three backslashes is no separator.
    for (const char* found : {"case\\ALPHA", "\\Case\\Alpha", "Case\\Alpha\\", "Case\\\\Alpha", "Case\\Alpha =="})
        EXPECT_EQ(rpc().openKey(base_, found).hk, alpha) << found;
    EXPECT_EQ(rpc().openKeyEx(base_, "CASE\\\\alpha\\").hk, alpha);
    for (const char* missing : {"Case\\\\\\Alpha", "\\\\Case", "Case\\Alpha\t", "Nothing"})
        EXPECT_EQ(show(rpc().openKey(base_, missing)), "2 0") << missing;
    // Creation treats runs of backslashes as one separator.
    uint32_t b = rpc().mustCreate(base_, "\\\\\\Runs\\\\\\A\\\\B\\\\\\");
    EXPECT_EQ(rpc().openKey(base_, "Runs\\A\\B").hk, b);
    EXPECT_EQ(rpc().queryInfoKey(rpc().openKey(base_, "Runs").hk).cSubKeys, 1u);
    // Blank sub-keys give the handle back, even one that names nothing.
    EXPECT_EQ(show(rpc().openKey(12345, "  ")), "0 12345");
    EXPECT_EQ(rpc().openKey(HKLM, "Software==").hk, rpc().openKey(HKLM, "Software").hk);
    EXPECT_EQ(show(rpc().openKeyEx(base_, "")), "2 0");
    EXPECT_EQ(rpc().openKeyEx(12345, "", true).hk, 12345u);
    rpc().setValueEx(base_, "val", 4, "abcd", 4);
    EXPECT_EQ(rpc().openKey(base_, "val").retval, 2u);  // a value is not a key
}

TEST_F(RegistryRpcTest, CreateDispositionsAndClasses) {
    CreateResult made = rpc().createKeyEx(base_, "A\\B", "cls", 0);
    std::string hk = std::to_string(made.hk);
    EXPECT_EQ(show(made), "0 " + hk + " 1");
    EXPECT_EQ(rpc().openKey(base_, "A\\B").hk, made.hk);
    EXPECT_EQ(show(rpc().queryInfoKey(made.hk)), "0 'cls'/3 null0 k0/0 c0 v0/0/0");
    EXPECT_EQ(show(rpc().queryInfoKey(rpc().openKey(base_, "A").hk)), "0 'ZORP+IS+COOL'/0 null1 k1/1 c3 v0/0/0");
    // Existing key: opened (create-ex says so, create says nothing), class kept.
    EXPECT_EQ(show(rpc().createKeyEx(base_, "a\\b", "other", 1)), "0 " + hk + " 2");
    EXPECT_EQ(rpc().queryInfoKey(made.hk).cls, "cls");
    EXPECT_EQ(show(rpc().createKey(base_, "A\\B")), "0 " + hk + " 0");
    // A null sub-key: the handle's own key, reported as existing.
    EXPECT_EQ(show(rpc().createKeyEx(made.hk, "", "", 0, true)), "0 " + hk + " 2");
    // A class-less create-ex gives the new key an empty class.
    EXPECT_EQ(show(rpc().queryInfoKey(rpc().createKeyEx(base_, "C", "", 0, false, true).hk)),
              "0 ''/0 null0 k0/0 c0 v0/0/0");
    EXPECT_EQ(show(rpc().createKey(1990, "X")), "2 0 0");
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
    // Each deleted handle closes once; flush closes a deleted handle too.
    EXPECT_EQ(rpc().closeKey(leaf), 0u);
    EXPECT_EQ(rpc().closeKey(leaf), 2u);
    EXPECT_EQ(rpc().flushKey(top), 0u);
    EXPECT_EQ(rpc().closeKey(top), 2u);
    EXPECT_EQ(rpc().closeKey(0x80000004), 2u);
    // Live handles flush and close without effect.
    uint32_t live = rpc().mustCreate(base_, "Live");
    EXPECT_EQ(rpc().flushKey(live), 0u);
    EXPECT_EQ(rpc().closeKey(live), 0u);
    EXPECT_EQ(rpc().closeKey(HKLM), 0u);
    EXPECT_EQ(rpc().openKey(base_, "Live").hk, live);
}

TEST_F(RegistryRpcTest, SetValueExStringRules) {
    // name, type, bytes sent, cbData -> what a query gives back.
    const std::vector<std::tuple<std::string, uint32_t, std::string, uint32_t, std::string>> sets = {
        {"five", 1, "hello", 5, "0 t1 'hello\\0'/6"},
        {"inner", 1, std::string("ab\0cd", 5), 5, "0 t1 'ab\\0'/3"},
        // cbData 0: sized from the text, never past the bytes received.
        {"sized", 2, std::string("abc\0zz", 6), 0, "0 t2 'abc\\0'/4"},
        {"unterminated", 1, "abc", 0, "0 t1 'abc\\0'/4"},
        {"empty", 1, std::string("\0", 1), 0, "0 t1 '\\0'/1"},
        {"binary", 3, "hello", 0, "0 t3 '\\0'/1"},  // not a string type: nothing kept
    };
    for (const auto& [name, type, bytes, cb, want] : sets) {
        EXPECT_EQ(rpc().setValueEx(base_, name, type, bytes, cb), 0u) << name;
        EXPECT_EQ(show(rpc().queryValueEx(base_, name, 32)), want) << name;
    }
    EXPECT_EQ(show(rpc().enumValue(base_, 0, 16, 16)), "0 'binary'/6 t3 'ZORP+IS+COOL\\0'/0");
    // cbData beyond what was received: refused, value untouched.
    EXPECT_EQ(rpc().setValueEx(base_, "five", 3, "abc", 4), 87u);
    EXPECT_EQ(rpc().setValueEx(base_, "new", 3, "", 1), 87u);
    EXPECT_EQ(show(rpc().queryValueEx(base_, "five", 32)), "0 t1 'hello\\0'/6");
    EXPECT_EQ(rpc().queryValueEx(base_, "new", 32).retval, 2u);
    EXPECT_EQ(rpc().setValueEx(1990, "x", 3, "abc", 3), 2u);
}

TEST_F(RegistryRpcTest, SetValueShortFormAndItsBounds) {
    EXPECT_EQ(rpc().setValue(base_, "S", 1, "text", 5), 0u);
    uint32_t s = rpc().openKey(base_, "S").hk;
    ASSERT_NE(s, 0u);
    EXPECT_EQ(show(rpc().queryValueEx(s, "", 32)), "0 t1 'text\\0'/5");
    // QUERY_VALUE reads a sub-key's default value and never sends the type.
    EXPECT_EQ(show(rpc().queryValue(base_, "S", 32)), "0 t0 'text\\0'/5");
    // Without sub-key: the handle's own default value.
    EXPECT_EQ(rpc().setValue(s, "", 1, "own", 2, true), 0u);
    EXPECT_EQ(rpc().queryValueEx(s, "", 32, true).data, std::string("ow\0", 3));
    // cbData may reach the NUL but not past it.
    EXPECT_EQ(rpc().setValue(base_, "T", 1, "abc", 5), 87u);
    EXPECT_EQ(rpc().openKey(base_, "T").retval, 2u);
    EXPECT_EQ(rpc().setValue(base_, "T", 1, "abc", 4), 0u);
    EXPECT_EQ(rpc().setValue(1990, "T", 1, "abc", 4), 2u);
}

TEST_F(RegistryRpcTest, QueryBuffersSmallZeroAbsentAndEmpty) {
    ASSERT_EQ(rpc().setValueEx(base_, "ten", 3, "0123456789", 10), 0u);
    ASSERT_EQ(rpc().setValueEx(base_, "nothing", 3, "", 0), 0u);
    rpc().mustCreate(base_, "Bare");
    // (value, capacity, data null) -> reply; a missing value gives the
    // placeholder at zero capacity and a cleared buffer otherwise.
    const std::vector<std::tuple<std::string, uint32_t, bool, std::string>> rows = {
        {"ten", 0, true, "0 t3 '\\xAB\\xAB\\xAB\\xAB\\xAB\\xAB\\xAB\\xAB\\xAB\\xAB'/10"},
        {"ten", 4, false, "234 t3 '0123'/10"},
        {"ten", 0, false, "234 t3 ''/10"},
        {"ten", 10, false, "0 t3 '0123456789'/10"},
        {"nope", 0, false, "2 t0 'ZORP+IS+COOL\\0'/0"},
        {"nope", 5, false, "2 t0 '\\0\\0\\0\\0\\0'/5"},
        {"nope", 0, true, "2 t0 'ZORP+IS+COOL\\0'/0"},
        {"nothing", 8, false, "0 t3 '\\0'/1"},
        {"nothing", 0, false, "0 t3 ''/1"},
        // A key without default value reads as an empty string of type 0.
        {"Bare", 8, false, "0 t0 '\\0'/1"},
        {"", 8, false, "2 t0 '\\0\\0\\0\\0\\0\\0\\0\\0'/8"},  // "" is the default value only
        // A capacity no reply buffer is made for.
        {"ten", 0xFFFFFFFFu, false, "1130 t0 'ZORP+IS+COOL\\0'/0"},
    };
    for (const auto& [name, cap, dataNull, want] : rows)
        EXPECT_EQ(show(rpc().queryValueEx(base_, name, cap, false, dataNull)), want) << name << " " << cap;
    EXPECT_EQ(rpc().queryValueEx(1990, "x", 0).retval, 2u);
    EXPECT_EQ(show(rpc().queryValue(base_, "", 8, true)), "0 t0 '\\0'/1");
    EXPECT_EQ(show(rpc().queryValue(base_, "Bare", 0, false, true)), "0 t0 '\\xAB'/1");
    EXPECT_EQ(rpc().queryValue(base_, "ten", 0xFFFFFFFFu).retval, 1130u);
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
    // A value named like a sub-key is found by query but not listed.
    ASSERT_EQ(rpc().setValueEx(base_, "Sub", 4, "abcd", 4), 0u);
    EXPECT_EQ(rpc().enumValue(base_, 0, 16, 16).retval, 259u);
    EXPECT_EQ(rpc().queryInfoKey(base_).cValues, 0u);
    EXPECT_EQ(rpc().queryValueEx(base_, "Sub", 8).data, "abcd");
}

TEST_F(RegistryRpcTest, EnumKeyOrderEndAndNameMaximum) {
    rpc().mustCreate(base_, "K2");
    rpc().mustCreate(base_, "K1");
    ASSERT_EQ(rpc().setValueEx(base_, "X", 3, "x", 1), 0u);
    // (index, name maximum) -> reply: names by the maximum's bytes.
    const std::vector<std::tuple<uint32_t, uint32_t, std::string>> rows = {
        {0, 16, "0 'K1'/0 'ZORP+IS+COOL'/0"}, {1, 16, "0 'K2'/0 'ZORP+IS+COOL'/0"},
        {2, 16, "259 ''/0 'ZORP+IS+COOL'/0"}, {0, 2, "0 'K1'/0 'ZORP+IS+COOL'/0"},
        {0, 1, "0 'K'/0 'ZORP+IS+COOL'/0"},   {0, 0, "0 ''/0 'ZORP+IS+COOL'/0"},
    };
    for (const auto& [index, max, want] : rows)
        EXPECT_EQ(show(rpc().enumKey(base_, index, max)), want) << index << " " << max;
    EXPECT_EQ(rpc().enumKey(1990, 0, 16).retval, 2u);
    EXPECT_EQ(rpc().enumKey(base_, 0, 0xFFFFFFFFu).retval, 1130u);
}

TEST_F(RegistryRpcTest, EnumKeyExCapacitiesAndClasses) {
    rpc().createKeyEx(base_, "Plain", "", 0, false, true);
    rpc().createKeyEx(base_, "WithClass", "abcdef", 0);
    rpc().mustCreate(base_, "NoClassAtAll");
    // Newest first. (index, name capacity, class capacity) -> reply: both
    // cut to their capacity, 234 only when the class did not fit; past the
    // end the counts stay as asked for.
    const std::vector<std::tuple<uint32_t, uint32_t, uint32_t, std::string>> rows = {
        {0, 16, 0, "0 'NoClassAtAll'/12 'ZORP+IS+COOL'/0"},
        {0, 0, 0, "0 'ZORP+IS+COOL'/0 'ZORP+IS+COOL'/0"},
        {0, 16, 8, "0 'NoClassAtAll'/12 'ZORP+IS+COOL'/0"},
        {1, 16, 3, "234 'WithClass'/9 'abc'/3"},
        {1, 16, 6, "0 'WithClass'/9 'abcdef'/6"},
        {1, 16, 64, "0 'WithClass'/9 'abcdef'/6"},
        {1, 4, 0, "0 'With'/4 'ZORP+IS+COOL'/0"},
        {1, 9, 0, "0 'WithClass'/9 'ZORP+IS+COOL'/0"},
        {2, 16, 8, "0 'Plain'/5 'ZORP+IS+COOL'/0"},
        {3, 16, 8, "259 ''/16 ''/8"},
        {3, 0, 0, "259 'ZORP+IS+COOL'/0 'ZORP+IS+COOL'/0"},
    };
    for (const auto& [index, cbName, cbClass, want] : rows)
        EXPECT_EQ(show(rpc().enumKeyEx(base_, index, cbName, cbClass)), want)
            << index << " " << cbName << " " << cbClass;
    EXPECT_EQ(rpc().enumKeyEx(1990, 0, 16, 8).retval, 2u);
    EXPECT_EQ(rpc().enumKeyEx(base_, 0, 16, 0xFFFFFFFFu).retval, 1130u);
}

TEST_F(RegistryRpcTest, EnumValueOrderDataAndNames) {
    ASSERT_EQ(rpc().setValueEx(base_, "", 1, std::string("dflt\0", 5), 5, true), 0u);
    ASSERT_EQ(rpc().setValueEx(base_, "Y", 3, "0123456789", 10), 0u);
    rpc().mustCreate(base_, "K");
    ASSERT_EQ(rpc().setValueEx(base_, "LongValueName", 4, "\x01\x02\x03\x04", 4), 0u);
    ASSERT_EQ(rpc().setValueEx(base_, "Z", 3, "", 0), 0u);
    // Newest first, the default value at the tail; the key is skipped. Data
    // larger than the capacity: its size, and zero bytes.
    const std::vector<std::tuple<uint32_t, uint32_t, uint32_t, std::string>> rows = {
        {0, 16, 16, "0 'Z'/1 t3 'ZORP+IS+COOL\\0'/0"},
        {1, 4, 16, "0 'Long'/4 t4 '\\x01\\x02\\x03\\x04'/4"},
        {2, 16, 2, "0 'Y'/1 t3 '\\0\\0'/10"},
        {2, 16, 0, "0 'Y'/1 t3 'ZORP+IS+COOL\\0'/10"},
        {2, 16, 10, "0 'Y'/1 t3 '0123456789'/10"},
        {3, 16, 16, "0 'ZORP+IS+COOL'/0 t1 'dflt\\0'/5"},
        {4, 16, 16, "259 'ZORP+IS+COOL'/0 t0 'ZORP+IS+COOL\\0'/0"},
    };
    for (const auto& [index, cbName, cbData, want] : rows)
        EXPECT_EQ(show(rpc().enumValue(base_, index, cbName, cbData)), want) << index << " " << cbName << " " << cbData;
    EXPECT_EQ(rpc().enumValue(1990, 0, 16, 16).retval, 2u);
    EXPECT_EQ(rpc().enumValue(base_, 0, 0xFFFFFFFFu, 16).retval, 1130u);
    EXPECT_EQ(rpc().enumValue(base_, 0, 16, 0xFFFFFFFFu).retval, 1130u);
}

TEST_F(RegistryRpcTest, QueryInfoKeyCountsDirectChildrenOnly) {
    rpc().mustCreate(base_, "A");
    rpc().createKeyEx(base_, "BBB", "classy", 0);
    ASSERT_EQ(rpc().setValueEx(base_, "V", 3, "1234567", 7), 0u);
    rpc().mustCreate(base_, "A\\Grandchild");  // not a direct child
    EXPECT_EQ(show(rpc().queryInfoKey(base_)), "0 'ZORP+IS+COOL'/0 null1 k2/3 c6 v1/1/7");
    EXPECT_EQ(show(rpc().queryInfoKey(1990)), "2 'ZORP+IS+COOL'/0 null0 k0/0 c0 v0/0/0");
}

TEST(RegistryTrace, SiblingProceduresTraceInsideTheirCallers) {
    PrivateDaemon d({"-v", "-l", "-1"});
    ASSERT_TRUE(started(d));
    RegistryRpc rpc(d, 2, localCaller("tracer"));
    ASSERT_EQ(rpc.setValue(HKLM, "Traced\\New", 1, "x", 2), 0u);
    ASSERT_EQ(rpc.flushKey(HKLM), 0u);
    ASSERT_EQ(rpc.deleteValue(HKLM, "missing"), 2u);
    // The short set-value creates its key through create-key, which opens it
    // first; flush closes: each callee's lines sit inside its caller's. The
    // last call may still be tracing its way out.
    std::vector<std::string> lines = logMessages(d), calls;
    for (size_t i = 0; i < lines.size() && (calls.empty() || calls.back() != "--> Entering reg_delete_value_2()"); i++)
        if (lines[i].rfind("--> Entering", 0) == 0 || lines[i].rfind("<-- Leaving", 0) == 0) calls.push_back(lines[i]);
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "--> Entering reg_set_value_2()", "--> Entering reg_create_key_2()",
                         "--> Entering reg_open_key_2()", "<-- Leaving reg_open_key_2()  retval = 2",
                         "<-- Leaving reg_create_key_2()  retval = 0", "<-- Leaving reg_set_value_2()  retval = 0",
                         "--> Entering reg_flush_key_2()", "--> Entering reg_close_key_2()",
                         "<-- Leaving reg_close_key_2()  retval = 0", "<-- Leaving reg_flush_key_2()  retval = 0",
                         "--> Entering reg_delete_value_2()"}));
    for (const char* detail : {"    ptr->userName: tracer", "    lpSubKey: Traced\\New", "    hKey: 0x80000002"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), detail), lines.end()) << detail;
}

}  // namespace
