// kalvoreg as a user runs it: every sub-command against real private
// daemons, with its output, exit status and messages checked.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include "harness/sync_client.h"

using kalvotest::ProgramRun;
using kalvotest::readFile;
using kalvotest::writeFile;

namespace {

// kalvoreg with `args`, its standard error on a terminal when onTerminal.
ProgramRun runTool(std::vector<std::string> args, bool onTerminal = false) {
    args.insert(args.begin(), KALVOREG_PATH);
    return kalvotest::runProgram(args, onTerminal);
}

// `kalvoreg add KEY` with each set of options, each expected to succeed.
void addValues(const std::string& key, std::vector<std::vector<std::string>> adds) {
    for (std::vector<std::string>& a : adds) {
        a.insert(a.begin(), {"add", key});
        ProgramRun r = runTool(a);
        EXPECT_EQ(r.status, 0) << a[3] << ": " << r.err;
        EXPECT_EQ(r.err, "");
    }
}

// A daemon of its own for each test, its standard error (where the sync
// dump goes) captured, and a scratch directory.
class Kalvoreg : public kalvotest::SyncDaemonTest {
  protected:
    void SetUp() override {
        SyncDaemonTest::SetUp();
        dir_ = kalvotest::makeTempDir();
    }
    void TearDown() override {
        std::filesystem::remove_all(dir_);
        SyncDaemonTest::TearDown();
    }

    // Runs kalvoreg and expects success with nothing on standard error.
    static std::string ok(const std::vector<std::string>& args) {
        ProgramRun r = runTool(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }

    // Runs kalvoreg and expects exit status 1 and a message holding `words`.
    static ProgramRun fails(const std::vector<std::string>& args, const std::string& words) {
        ProgramRun r = runTool(args);
        EXPECT_EQ(r.status, 1) << args[0] << ": " << r.out;
        EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
        return r;
    }

    std::string dir_;
};

const char kNotFound[] = "ERROR_FILE_NOT_FOUND (2): The system cannot find the file specified.";

TEST_F(Kalvoreg, QueryShowsEveryTypeInItsLayout) {
    const std::string key = "HKLM\\Software\\KalvoregQuery";
    addValues(key, {{"/ve", "/d", "hello world"}, {"/v", "Count", "/t", "REG_DWORD", "/d", "42"},
                    {"/v", "Big", "/t", "REG_DWORD_BIG_ENDIAN", "/d", "0x01020304"},
                    {"/v", "Wide", "/t", "REG_QWORD", "/d", "0x123456789a"},
                    {"/v", "bin", "/t", "REG_BINARY", "/d", "00ff10"},
                    {"/v", "Nothing", "/t", "REG_NONE"},  // text, as reg.exe stores it
                    {"/v", "Expand", "/t", "REG_EXPAND_SZ", "/d", "%HOME%\\x"},
                    {"/v", "List", "/t", "REG_MULTI_SZ", "/d", "one\\0two"}});
    ok({"add", key + "\\Sub", "/v", "Inner", "/d", "deep"});
    const std::string top = "\nHKEY_LOCAL_MACHINE\\Software\\KalvoregQuery", sub = top.substr(1) + "\\Sub";
    const std::string values =
        top + "\n"
        "    (Default)    REG_SZ    hello world\n"
        "    Big    REG_DWORD_BIG_ENDIAN    0x1020304\n"
        "    bin    REG_BINARY    00FF10\n"
        "    Count    REG_DWORD    0x2a\n"
        "    Expand    REG_EXPAND_SZ    %HOME%\\x\n"
        "    List    REG_MULTI_SZ    one\\0two\n"
        "    Nothing    REG_NONE    00\n"
        "    Wide    REG_QWORD    0x123456789a\n"
        "\n";
    // Any case of the path; the output spells the names as stored.
    EXPECT_EQ(ok({"query", "hklm\\software\\kalvoregquery"}), values + sub + "\n\n");
    EXPECT_EQ(ok({"query", key, "/s"}), values + sub + "\n    Inner    REG_SZ    deep\n\n");
    EXPECT_EQ(ok({"query", key, "-v", "list", "-se", ";"}), top + "\n    List    REG_MULTI_SZ    one;two\n\n");
    EXPECT_EQ(ok({"query", key, "/VE"}), top + "\n    (Default)    REG_SZ    hello world\n\n");
    EXPECT_EQ(ok({"query", key, "/v", "Inner", "/s"}),
              "\n" + sub + "\n    Inner    REG_SZ    deep\n\nEnd of search: 1 match(es) found.\n");
    EXPECT_EQ(ok({"query", key + "\\Sub", "/ve"}), "\n" + sub + "\n    (Default)    REG_SZ    (value not set)\n\n");
    EXPECT_EQ(ok({"query", key + "\\Sub\\"}), "\n" + sub + "\n    Inner    REG_SZ    deep\n\n");
    fails({"query", key, "/v", "Absent"}, kNotFound);
}

TEST_F(Kalvoreg, BadKeysTypesAndDataFailWithTheirWin32Error) {
    const std::string key = "HKLM\\Software\\KalvoregBadAdd";
    ProgramRun r = fails({"query", "HKLM\\NoSuchKey"}, kNotFound);
    EXPECT_EQ(r.err, "kalvoreg: query HKEY_LOCAL_MACHINE\\NoSuchKey: " + std::string(kNotFound) + "\n");
    EXPECT_EQ(r.out, "");
    fails({"query", "HKXY\\Software"}, "ERROR_BAD_ARGUMENTS (160)");
    fails({"query"}, "missing arguments");
    fails({"add", key, "/v", "a", "/t", "REG_FOO"},
          "ERROR_INVALID_DATATYPE (1804): The specified datatype is invalid.");
    fails({"add", key, "/v", "a", "/t", "REG_DWORD", "/d", "12x"}, "ERROR_INVALID_DATA (13)");
    fails({"add", "HKCU\\"}, "invalid key name");
    fails({"add", "/v", "a", key}, "KEY must come before the options");
    fails({"query", "HKEY_DYN_DATA"}, "unknown root key");
    fails({"add", key, "/v", "a", "/ve"}, "exclude each other");
    // A refused value creates nothing.
    fails({"query", key}, kNotFound);
    fails({"frobnicate"}, "unknown command 'frobnicate'");
}

TEST_F(Kalvoreg, WhatExistsIsReplacedOrDeletedOnlyWithForce) {
    std::string key = "HKCU\\Software\\KalvoregForce";
    ok({"add", key, "/v", "v", "/d", "first"});
    // Standard input is no terminal, so there is nobody to ask.
    fails({"add", key, "/v", "V", "/d", "second"}, "ERROR_CANCELLED (1223)");
    const std::string shown = "\nHKEY_CURRENT_USER\\Software\\KalvoregForce\n    v    REG_SZ    ";
    EXPECT_EQ(ok({"query", key, "/v", "v"}), shown + "first\n\n");
    ok({"add", key, "-v", "v", "-d", "third", "-F"});
    EXPECT_EQ(ok({"query", key, "/v", "v"}), shown + "third\n\n");

    // Delete takes values, then keys, asking first just the same.
    key = "HKLM\\Software\\KalvoregDelete";
    const std::string full = "HKEY_LOCAL_MACHINE\\Software\\KalvoregDelete";
    ok({"add", key, "/ve", "/d", "d"});
    for (const char* v : {"a", "b", "c"}) ok({"add", key, "/v", v, "/d", v});
    ok({"add", key + "\\Sub"});
    fails({"delete", key, "/v", "a"}, "ERROR_CANCELLED (1223)");
    ok({"delete", key, "/v", "A", "/f"});
    fails({"delete", key, "/v", "a", "/f"}, kNotFound);
    ok({"delete", key, "/ve", "/f"});
    EXPECT_EQ(ok({"query", key}),
              "\n" + full + "\n    b    REG_SZ    b\n    c    REG_SZ    c\n\n" + full + "\\Sub\n\n");
    EXPECT_EQ(ok({"delete", key, "/va", "/f"}), "The operation completed successfully.\n");
    EXPECT_EQ(ok({"query", key}), "\n" + full + "\n" + full + "\\Sub\n\n");
    fails({"delete", key}, "ERROR_CANCELLED (1223)");
    fails({"delete", "HKLM", "/f"}, "root key cannot be deleted");
    ok({"delete", key, "/f"});
    fails({"query", key}, kNotFound);
    fails({"delete", key, "/f"}, kNotFound);
}

// Values of every type, including bytes that are no UTF-8, for exports.
void addEveryType(const std::string& key) {
    addValues(key, {{"/ve", "/d", "caf\xE9 \"quoted\" back\\slash"},
                    {"/v", "dw", "/t", "REG_DWORD", "/d", "0xdeadbeef"},
                    {"/v", "be", "/t", "REG_DWORD_BIG_ENDIAN", "/d", "7"}, {"/v", "qw", "/t", "REG_QWORD", "/d", "1"},
                    {"/v", "bin", "/t", "REG_BINARY", "/d", std::string(200, 'e')},
                    {"/v", "none", "/t", "REG_NONE", "/d", ""},
                    {"/v", "exp", "/t", "REG_EXPAND_SZ", "/d", "%PATH%;\xE2\x82\xAC"},
                    {"/v", "multi", "/t", "REG_MULTI_SZ", "/d", "a\\0\xFF\\0c"}});
}

TEST_F(Kalvoreg, ExportOfSeededRegistryImportsIntoEmptyDaemonAsSameBytes) {
    addEveryType("HKLM\\Software\\KalvoregRoundTrip\\Types");
    ok({"add", "HKLM\\Software\\KalvoregRoundTrip\\Empty\\Deeper"});
    addEveryType("HKCU\\Software\\KalvoregRoundTrip");
    const std::string& dir = dir_;
    ok({"export", "HKLM", dir + "/lm.reg"});
    ok({"export", "HKLM", dir + "/lm4.reg", "/a"});
    ok({"export", "HKU", dir + "/users.reg"});
    std::string lm = readFile(dir + "/lm.reg");
    ASSERT_EQ(lm.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(readFile(dir + "/lm4.reg").substr(0, 10), "REGEDIT4\r\n");
    // Exporting again gives the same bytes; an existing file needs /y.
    fails({"export", "HKLM", dir + "/lm.reg"}, "ERROR_FILE_EXISTS (80)");
    ok({"export", "HKLM", dir + "/lm.reg", "/y"});
    EXPECT_EQ(readFile(dir + "/lm.reg"), lm);

    // Into an empty daemon: the REGEDIT4 file, and the users' in version 5.
    kalvotest::PrivateDaemon fresh;
    std::string why;
    ASSERT_TRUE(fresh.start(&why)) << why;
    fresh.exportEnv();
    ok({"import", dir + "/lm4.reg"});
    ok({"import", dir + "/users.reg"});
    ok({"export", "HKLM", dir + "/lm.again.reg"});
    ok({"export", "HKLM", dir + "/lm4.again.reg", "/a"});
    ok({"export", "HKU", dir + "/users.again.reg"});
    EXPECT_EQ(readFile(dir + "/lm.again.reg"), lm);
    EXPECT_EQ(readFile(dir + "/lm4.again.reg"), readFile(dir + "/lm4.reg"));
    EXPECT_EQ(readFile(dir + "/users.again.reg"), readFile(dir + "/users.reg"));
}

// Parsing is the text tests' business; this is the import's deletions and
// writes of what the parser gives (every type: the export round trip).
TEST_F(Kalvoreg, ImportDeletesWritesAndSkipsFaultyLinesUnlessStrict) {
    std::string key = "HKLM\\Software\\KalvoregHand";
    ok({"add", key, "/v", "Doomed", "/d", "x"});
    ok({"add", key + "\\Old\\Deep", "/v", "y", "/d", "z"});
    std::string file = dir_ + "/hand.reg";
    writeFile(file,
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\KalvoregHand]\n@=\"default "
              "text\"\n\"Multi\"=hex(7):6f,6e,65,00,74,\\\n"
              "  77,6f,00,00\n\"Doomed\"=-\n\n[HKEY_LOCAL_MACHINE\\Software\\KalvoregHand\\Child]\n\"x\"=\"y\"\n\n"
              "[-HKEY_LOCAL_MACHINE\\Software\\KalvoregHand\\Old]\n");
    ok({"import", file});
    EXPECT_EQ(ok({"query", key, "/s"}),
              "\nHKEY_LOCAL_MACHINE\\Software\\KalvoregHand\n    (Default)    REG_SZ    default text\n"
              "    Multi    REG_MULTI_SZ    one\\0two\n\nHKEY_LOCAL_MACHINE\\Software\\KalvoregHand\\Child\n"
              "    x    REG_SZ    y\n\n");

    key = "HKLM\\Software\\KalvoregLenient";
    file = dir_ + "/bad.reg";
    writeFile(file, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\KalvoregLenient]\n\"a\"=\"fine\" ; c\n\"Bad\"=dword:xyz\n"
                    "\"b\"=hex:01,\\\n  02,zz\n\"c\"=dword:1\n");
    std::string problems = file + ":4: dword: takes 1 to 8 hexadecimal digits; the line is skipped\n" + file +
                           ":6: 'zz' is not a hex byte\n";
    ProgramRun r = fails({"import", file, "/strict"}, problems + "kalvoreg: import " + file);
    fails({"query", key}, kNotFound);
    r = runTool({"import", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, problems);
    EXPECT_EQ(ok({"query", key}), "\nHKEY_LOCAL_MACHINE\\Software\\KalvoregLenient\n    a    REG_SZ    fine\n"
                                  "    c    REG_DWORD    0x1\n\n");
    writeFile(file, "Windows Registry Editor Version 4.00\n");
    fails({"import", file}, "not a .reg file");
    fails({"import", dir_ + "/missing.reg"}, kNotFound);
}

// Each command line gives its exit status and standard output.
TEST_F(Kalvoreg, CopyAndCompareKeys) {
    const std::string a = "HKCU\\Software\\KalvoregCopyA", b = "HKCU\\Software\\KalvoregCopyB";
    const std::string fa = "HKEY_CURRENT_USER\\Software\\KalvoregCopyA", fb = fa.substr(0, fa.size() - 1) + "B";
    const std::string subY = "\\Sub  y  REG_DWORD  0x2\n", done = "The operation completed successfully.\n";
    const std::string same = "\nResult Compared: Identical\n" + done, differ = "\nResult Compared: Different\n" + done;
    ok({"add", a, "/v", "x", "/d", "1"});
    ok({"add", a + "\\Sub", "/v", "y", "/t", "REG_DWORD", "/d", "2"});
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> steps = {
        {{"copy", a, b}, 0, done},
        {{"query", b, "/s"}, 0, "\n" + fb + "\n    x    REG_SZ    1\n\n"},
        {{"compare", a, b}, 2, "< Key: " + fa + "\\Sub\n" + differ},
        {{"compare", b, a}, 2, "> Key: " + fa + "\\Sub\n" + differ},
        {{"compare", a, b, "/v", "x"}, 0, same},
        {{"copy", a, b, "/s", "/f"}, 0, done},
        {{"compare", a, b, "/s"}, 0, same},
        {{"compare", a, b, "/os", "/s"}, 0, "= Value: " + fa + "  x  REG_SZ  1\n= Value: " + fa + subY + same},
        {{"add", b + "\\Sub", "/v", "y", "/d", "2", "/f"}, 0, done},
        {{"add", b, "/v", "z", "/d", "3"}, 0, done},
        {{"compare", a, b, "/s"}, 2, "> Value: " + fb + "  z  REG_SZ  3\n< Value: " + fa + subY + "> Value: " + fb +
                                         "\\Sub  y  REG_SZ  2\n" + differ},
        {{"compare", a, b, "/on"}, 2, differ},
        {{"compare", a, b + "\\Nothing"}, 1, ""},
        {{"copy", a, b, "/s"}, 1, ""},  // KEY2 exists and nobody can be asked
        {{"copy", a, "hkcu\\software\\kalvoregcopya", "/f"}, 1, ""},
    };
    for (const auto& [args, status, out] : steps) {
        ProgramRun r = runTool(args);
        EXPECT_EQ(r.status, status) << args[0] << " " << args.back() << ": " << r.err;
        EXPECT_EQ(r.out, out) << args[0] << " " << args.back();
    }
}

// The hive procedures' own rules are the persistence tests' business; this
// is the tool's plumbing of each command and of their errors.
TEST_F(Kalvoreg, HiveCommandsMoveTreesThroughFiles) {
    const std::string hive = dir_ + "/hive.dat", other = dir_ + "/other.dat";
    ok({"add", "HKLM\\Software\\KalvoregHive\\Inner", "/v", "x", "/d", "saved"});
    ok({"save", "HKLM\\Software\\KalvoregHive", hive});
    ok({"load", "HKLM\\Software\\KalvoregLoaded", hive});
    EXPECT_EQ(ok({"query", "HKLM\\Software\\KalvoregLoaded\\Inner"}),
              "\nHKEY_LOCAL_MACHINE\\Software\\KalvoregLoaded\\Inner\n    x    REG_SZ    saved\n\n");
    ok({"unload", "HKLM\\Software\\KalvoregLoaded"});
    fails({"query", "HKLM\\Software\\KalvoregLoaded"}, kNotFound);
    ok({"add", "HKLM\\Software\\KalvoregRestored"});
    ok({"restore", "HKLM\\Software\\KalvoregRestored", hive});
    ok({"query", "HKLM\\Software\\KalvoregRestored\\KalvoregHive\\Inner", "/v", "x"});
    ok({"add", "HKLM\\Software\\KalvoregOther", "/v", "y", "/d", "replacement"});
    ok({"save", "HKLM\\Software\\KalvoregOther", other});
    ok({"replace", "HKLM\\Software\\KalvoregHive", other, dir_ + "/old.dat"});
    EXPECT_EQ(ok({"query", "HKLM\\Software\\KalvoregHive"}),
              "\nHKEY_LOCAL_MACHINE\\Software\\KalvoregHive\n    y    REG_SZ    replacement\n\n");
    fails({"unload", "HKLM"}, "below a root key");
}

TEST_F(Kalvoreg, DaemonCommandsAndAnAbsentDaemon) {
    const std::string pid = std::to_string(daemonPid());
    EXPECT_NE(ok({"version"}).find("protocol version 2.3.0"), std::string::npos);
    EXPECT_NE(ok({"ping"}).find("answers: pid " + pid + "\n"), std::string::npos);
    // The sync dump goes to the daemon's standard error.
    size_t before = readFile(stderrPath_).size();
    EXPECT_EQ(ok({"sync-dump"}), "sync dump written to the standard error of the daemon (pid " + pid + ")\n");
    std::string dump = readFile(stderrPath_).substr(before);
    EXPECT_NE(dump.find(kalvotest::kDumpObjects), std::string::npos) << dump;
    setenv("KALVO_REGISTRY_PROG", std::to_string(kalvotest::uniqueProg()).c_str(), 1);
    const char unavailable[] = "RPC_S_SERVER_UNAVAILABLE (1722): The RPC server is unavailable.";
    using Args = std::vector<std::string>;
    for (const Args& args : {Args{"ping"}, Args{"version"}, Args{"query", "HKLM"}, Args{"sync-dump"}})
        fails(args, unavailable);
}

TEST_F(Kalvoreg, HelpInEveryFormAndForEachCommand) {
    std::string help = ok({"--help"});
    for (const char* word : {"/?", "-?", "/H", "-H", "/h"}) EXPECT_EQ(ok({word}), help) << word;
    EXPECT_NE(ok({"compare", "-H"}), help);
    EXPECT_EQ(ok({"help", "export"}), ok({"export", "/?"}));
    ProgramRun none = runTool({});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("Usage: kalvoreg COMMAND"), std::string::npos);
}

TEST_F(Kalvoreg, ProgressShowsOnATerminalOnly) {
    const std::string key = "HKLM\\Software\\KalvoregProgress";
    for (const char* sub : {"\\A", "\\B", "\\B\\C"}) ok({"add", key + sub});
    std::string file = dir_ + "/progress.reg";
    ProgramRun r = runTool({"export", key, file, "/y"}, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("exporting: 4 of 4 keys"), std::string::npos) << r.err;
    r = runTool({"import", file}, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("importing: 4 of 4 entries"), std::string::npos) << r.err;
    // Not a terminal: not a word.
    EXPECT_EQ(runTool({"export", key, file, "/y"}).err, "");
    EXPECT_EQ(runTool({"import", file}).err, "");
}

}  // namespace
