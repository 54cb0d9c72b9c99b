// The .reg text format, value data and argument forms of kalvoreg, without
// a daemon: what is written reads back as it was, and damaged input is
// refused with the line at fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

#include "tools/regargs.h"
#include "tools/regdata.h"
#include "tools/regfile.h"
#include "tools/regpath.h"
#include "tools/regtext.h"

using namespace regtool;
using namespace std::string_literals;

namespace {

// UTF-16LE of ASCII text.
std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// A value to write.
RegFileValue value(const std::string& name, uint32_t type, const std::string& data) {
    return {name, false, type, data};
}

// Parses `text`, which must be taken as a .reg file; its problems as "line: message" lines.
std::string parseProblems(const std::string& text, RegDocument* doc) {
    std::vector<RegParseError> problems;
    EXPECT_TRUE(parseRegFile(text, doc, &problems)) << text;
    std::string out;
    for (const RegParseError& p : problems) out += std::to_string(p.line) + ": " + p.message + "\n";
    return out;
}

// A document's sections and values, one per line, for comparisons.
std::string sectionsAsText(const RegDocument& doc) {
    std::string out;
    for (const RegFileSection& s : doc.sections) {
        out += (s.remove ? "-" : "+") + s.path + "\n";
        for (const RegFileValue& v : s.values)
            out += "  [" + v.name + "] " + (v.remove ? "removed" : std::to_string(v.type) + ":" + v.data) + "\n";
    }
    return out;
}

TEST(RegFile, Regedit4OutputIsExactAndWrapsLongHex) {
    const RegDocument doc{RegFormat::Version5,
                          {{"HKEY_LOCAL_MACHINE\\Software\\T",
                            false,
                            {value("", 1, "say \"hi\" C:\\x\0"s), value("D", 4, std::string("\x2a\0\0\x80", 4)),
                             value("Empty", 3, ""), value("Two NULs", 1, std::string("a\0b\0", 4)),
                             value("Q", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)),
                             value("Long", 3, std::string(40, '\xab'))}},
                           {"HKEY_CURRENT_USER\\Old", true, {}}}};
    std::string bytes, why;
    ASSERT_TRUE(writeRegFile(doc, RegFormat::Regedit4, &bytes, &why));
    // 22 bytes fill the first line to 78 characters with its backslash;
    // one more would pass 80.
    std::string firstLine = "\"Long\"=hex:";
    for (int i = 0; i < 22; i++) firstLine += "ab,";
    std::string secondLine = "  ";
    for (int i = 0; i < 17; i++) secondLine += "ab,";
    secondLine += "ab";
    EXPECT_EQ(bytes,
              "REGEDIT4\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\T]\r\n"
              "@=\"say \\\"hi\\\" C:\\\\x\"\r\n"
              "\"D\"=dword:8000002a\r\n"
              "\"Empty\"=hex:\r\n"
              "\"Two NULs\"=hex(1):61,00,62,00\r\n"
              "\"Q\"=hex(b):01,02,03,04,05,06,07,08\r\n" +
                  firstLine + "\\\r\n" + secondLine + "\r\n\r\n[-HKEY_CURRENT_USER\\Old]\r\n\r\n");
    RegDocument back;
    EXPECT_EQ(parseProblems(bytes, &back), "");
    EXPECT_EQ(sectionsAsText(back), sectionsAsText(doc));
}

TEST(RegFile, BothFormatsGiveBackEveryNameTypeAndByte) {
    RegDocument doc{RegFormat::Version5,
                    {{"HKEY_USERS\\.Default\\K\xC3\xA9y [1]",
                      false,
                      {value("quote\" back\\slash\nline", 1, std::string("x\r\ny\0", 5)),
                       value("latin1 \xE9", 1, std::string("caf\xE9\0", 5)),
                       value("utf8 \xE2\x82\xAC \xF0\x9F\x98\x80", 2, std::string("%P%\xE2\x82\xAC\0", 7)),
                       value("odd", 7, std::string("a\0\xFF\0\0", 5)), value("short string", 1, ""),
                       value("NULs within", 1, std::string("\0ab\0", 4)),
                       value("dword too long", 4, "12345"), value("big type", 0x12345678, std::string(300, '\x07')),
                       {"gone", true, 0, ""}}}}};
    for (RegFormat format : {RegFormat::Regedit4, RegFormat::Version5}) {
        std::string bytes, why;
        ASSERT_TRUE(writeRegFile(doc, format, &bytes, &why));
        RegDocument back;
        EXPECT_EQ(parseProblems(bytes, &back), "");
        EXPECT_EQ(back.format, format);
        EXPECT_EQ(sectionsAsText(back), sectionsAsText(doc));
    }
}

TEST(RegFile, Version5IsUtf16WithItsMarkAndUtf16StringData) {
    const RegDocument doc{RegFormat::Version5,
                          {{"HKEY_LOCAL_MACHINE\\S", false, {value("E", 2, std::string("%A%\0", 4))}}}};
    std::string bytes, why;
    ASSERT_TRUE(writeRegFile(doc, RegFormat::Version5, &bytes, &why));
    EXPECT_EQ(bytes, "\xFF\xFE" + utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\S]\r\n"
                                        "\"E\"=hex(2):25,00,41,00,25,00,00,00\r\n\r\n"));
    EXPECT_FALSE(utf16leToBytes("abc", &why));  // half a code unit
    // No .reg line can carry a key name with a line break.
    EXPECT_FALSE(writeRegFile({RegFormat::Version5, {{"HKEY_LOCAL_MACHINE\\a\nb", false, {}}}}, RegFormat::Version5,
                              &bytes, &why));
    EXPECT_NE(why.find("line break"), std::string::npos);
}

// Each text is read into the sections given, with the problems given
// (faulty lines left out, the rest kept).
TEST(RegFile, EveryFormReadsAsRegExeReadsIt) {
    const std::string h = "REGEDIT4\n[HKLM\\A]\n";
    const std::string v5 = "\xFF\xFE" + utf16("Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n");
    const std::vector<std::array<std::string, 3>> cases = {
        {"\xEF\xBB\xBFWindows Registry Editor Version 5.00\n; c\n\n  [HKLM\\Software\\A]  \r\n@=\"d\"\n"
         "\"n\" = DWORD:FF\n\"m\"=hex(7):61,00,00,00,\\\n   62,00 , 00,00,\\\n  00,00\n\"x\"=-\n[-HKCU\\Gone]\n",
         "+HKLM\\Software\\A\n  [] 1:d\0\n  [n] 4:\xFF\0\0\0\n  [m] 7:a\0b\0\0\n  [x] removed\n-HKCU\\Gone\n"s, ""},
        // Comments after data, trailing commas, blank and comment lines
        // inside continued hex, and the file ending after a backslash.
        {"  REGEDIT4 \n[HKLM\\A] ; k\n\"s\"=\"t;u\" ; c\n\"d\"=dword:1f ;c\n\"h\"=hex:01,02, ;c\n\"g\"=- ; c\n"
         "\"c\"=hex:01,\\\n\n; c\n  02,\\\n  03\n\"e\"=hex:0a,\\",
         "+HKLM\\A\n  [s] 1:t;u\0\n  [d] 4:\x1f\0\0\0\n  [h] 3:\1\2\n  [g] removed\n  [c] 3:\1\2\3\n  [e] 3:\n\n"s, ""},
        // Values below a deleted key are ignored; a bad line costs only itself.
        {h + "[-HKLM\\A\\B]\n\"v\"=\"x\"\n[HKLM\\C]\n\"Bad\"=dword:xyz\n\"ok\"=dword:1\n\"e\"=\"C:\\dir\"\n",
         "+HKLM\\A\n-HKLM\\A\\B\n+HKLM\\C\n  [ok] 4:\1\0\0\0\n  [e] 1:C:dir\0\n"s,
         "6: dword: takes 1 to 8 hexadecimal digits; the line is skipped\n"
         "8: unknown escape '\\d' taken as 'd' (write \\\\ for a backslash)\n"},
        {"REGEDIT\nHKEY_CLASSES_ROOT\\.txt = txtfile\nHKEY_CLASSES_ROOT\\txtfile\\shell   open %1 \n",
         "+HKEY_CLASSES_ROOT\\.txt\n  [] 1:txtfile\0\n+HKEY_CLASSES_ROOT\\txtfile\\shell\n  [] 1:open %1 \0\n"s, ""},
        {"REGEDIT 4\n[HKLM\\A]\n", "",
         "1: the header 'REGEDIT 4' is taken but, as by reg.exe, nothing below it is imported\n"},
        // UTF-16 strings come whole, with a terminator added when missing.
        {v5 + utf16("\"w\"=hex(1):00,00,61,00,62,00\r\n\"x\"=hex(2):41,00,00,00\r\n"),
         "+HKLM\\A\n  [w] 1:\0ab\0\n  [x] 2:A\0\n"s, ""},
        {h + "\"w\"=hex(1):61\n\"z\"=hex(7):\n", "+HKLM\\A\n  [w] 1:a\0\n  [z] 7:\n"s, ""},
    };
    for (const auto& [text, sections, problems] : cases) {
        RegDocument doc;
        EXPECT_EQ(parseProblems(text, &doc), problems) << text;
        EXPECT_EQ(sectionsAsText(doc), sections) << text;
    }
}

TEST(RegFile, DamagedInputIsReportedWithItsLine) {
    const std::string h = "REGEDIT4\n";
    std::vector<RegParseError> problems;
    RegDocument doc;
    for (std::string bad : {""s, "REGEDIT5\n"s, "regedit4\n"s, "\nREGEDIT4\n"s, "\xFE\xFF"s}) {
        EXPECT_EQ(parseRegFile(bad, &doc, &problems), bad == "REGEDIT5\n") << bad;
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].line, 1);
    }
    const std::vector<std::tuple<std::string, int, const char*>> faults = {
        {"\xFF\xFE" + utf16("REGEDIT4\n[HKLM]\n") + "x", 3, "middle of a character"},
        {h + "\"v\"=\"x\"\n", 2, "before any [key]"},
        {h + "[HKLM\\A\n\"v\"=\"x\"\n", 2, "']'"},
        {h + "[HKXX\\A]\n", 2, "unknown root"},
        {h + "[HKEY_DYN_DATA\\A]\n", 2, "unknown root"},
        {h + "[-HKLM]\n", 2, "root key cannot be deleted"},
        {h + "[HKLM\\A]\n\"v\"=\"open\n", 3, "closing"},
        {h + "[HKLM\\A]\n\"v\"=\"a\\0\"\n", 3, "'\\0'"},
        {h + "[HKLM\\A]\n\"v\" \"x\"\n", 3, "'='"},
        {h + "[HKLM\\A]\n\"v\"=\"x\" y\n", 3, "after the closing"},
        {h + "[HKLM\\A]\n\"v\"=dword:123456789\n", 3, "dword:"},
        {h + "[HKLM\\A]\n\"v\"=dword:\n", 3, "dword:"},
        {h + "[HKLM\\A]\n\"v\"=hex(zz):00\n", 3, "hex(N)"},
        {h + "[HKLM\\A]\n\"v\"=hex(1)00\n", 3, "':'"},
        {h + "[HKLM\\A]\n\"v\"=word:1\n", 3, "unknown value data"},
        {h + "[HKLM\\A]\n\"v\"=hex:00,\\\n  01,1g2\n", 4, "'1g2'"},
        {h + "[HKLM\\A]\n\"v\"=hex:100\n", 3, "'100'"},
        {h + "[HKLM\\A]\n\"v\"=hex:00,,01\n", 3, "empty byte"},
        {h + "[HKLM\\A]\n\"v\"=hex:00,\\\n[HKLM\\B]\n", 3, "stops at the next line"},
        {h + "[HKLM\\A]\nstray text\n", 3, "not a [key]"},
        {h + "[HKLM\\A]\n\"v\"=hex:0\\ x\n", 3, "after the continuing backslash"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=hex(2):41,00,42\n", 3, "odd number"},
    };
    for (const auto& [text, line, words] : faults) {
        ASSERT_TRUE(parseRegFile(text, &doc, &problems)) << text;
        ASSERT_EQ(problems.size(), 1u) << text;
        EXPECT_EQ(problems[0].line, line) << text << "\n" << problems[0].message;
        EXPECT_NE(problems[0].message.find(words), std::string::npos) << problems[0].message;
    }
}

// Lines of a file as the parser counts them (UTF-16 files decoded).
int lineCount(const std::string& bytes) {
    std::string text = bytes;
    if (bytes.substr(0, 2) == "\xFF\xFE") utf16leToBytes(bytes.substr(2, (bytes.size() - 2) / 2 * 2), &text);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

TEST(RegFile, DamagedCopiesOfGoodFilesFaultOnALineOfTheFile) {
    const RegDocument doc{RegFormat::Version5,
                          {{"HKEY_LOCAL_MACHINE\\Software\\Fuzz",
                            false,
                            {value("", 1, "a \"b\" \\c\0"s), value("d", 4, "\1\2\3\4"),
                             value("m", 7, std::string(90, 'x') + "\0\0"s)}}}};
    std::mt19937 rng(11);
    const std::string interesting = "\\\"[]\n\r,=@-:()hex0";
    for (RegFormat format : {RegFormat::Regedit4, RegFormat::Version5}) {
        std::string good, why;
        ASSERT_TRUE(writeRegFile(doc, format, &good, &why));
        for (int round = 0; round < 3000; round++) {
            std::string bad = good;
            for (int k = 1 + static_cast<int>(rng() % 4); k > 0 && !bad.empty(); k--) {
                size_t at = rng() % bad.size();
                switch (rng() % 3) {
                    case 0: bad[at] = interesting[rng() % interesting.size()]; break;
                    case 1: bad.erase(at, 1); break;
                    default: bad.resize(at); break;
                }
            }
            RegDocument parsed;
            std::vector<RegParseError> problems;
            parseRegFile(bad, &parsed, &problems);
            for (const RegParseError& p : problems) {
                EXPECT_GE(p.line, 1);
                EXPECT_LE(p.line, lineCount(bad));
                EXPECT_FALSE(p.message.empty());
            }
        }
    }
}

// Each type's layout is the tool tests' business; these are data the tool
// cannot store.
TEST(RegData, QueryShowsEachTypeAsDocumented) {
    EXPECT_EQ(formatQueryData(1, std::string("abc\0junk", 8), "\\0"), "abc");
    EXPECT_EQ(formatQueryData(11, std::string("\xff\0\0\0\0\0\0\x01", 8), ""), "0x1000000000000ff");
    EXPECT_EQ(formatQueryData(4, "\x01\x02", ""), "0102");  // a DWORD of the wrong size
    EXPECT_EQ(typeName(0x99), "0x99");
}

// Each {type, text, separator} gives the bytes reg.exe stores, or (null) is refused.
TEST(RegData, AddTakesEachTypeAndRefusesWhatDoesNotFit) {
    const std::vector<std::tuple<uint32_t, std::string, const char*, const char*, size_t>> cases = {
        {7, "a\\0bc", "\\0", "a\0bc\0", 6}, {7, "", "\\0", "", 1}, {7, "a\\0", "\\0", "a\0", 3},
        {7, "a,,b", ",", nullptr, 0},       {7, "\\0a", "\\0", nullptr, 0}, {7, "a", "", nullptr, 0},
        {5, "0x01020304", "", "\4\3\2\1", 4}, {4, "", "", "\0\0\0", 4}, {11, "", "", "\0\0\0\0\0\0\0", 8},
        {11, "18446744073709551615", "", "\xff\xff\xff\xff\xff\xff\xff\xff", 8},
        {4, "4294967296", "", nullptr, 0},  {4, "-1", "", nullptr, 0},  {4, "0x", "", nullptr, 0},
        {11, "18446744073709551616", "", nullptr, 0},
        {3, "00fF", "", "\0\xff", 2},       {3, "abc", "", "\x0a\xbc", 2}, {3, "0g", "", nullptr, 0},
        {0, "zz", "", "zz", 3},             {1, "", "", "", 1},
    };
    for (const auto& [type, text, separator, expected, size] : cases) {
        std::string bytes, why;
        EXPECT_EQ(parseAddData(type, text, separator, &bytes, &why), expected != nullptr) << type << " " << text;
        if (expected != nullptr) {
            EXPECT_EQ(bytes, std::string(expected, size)) << type << " " << text;
        }
    }
    uint32_t type = 0;
    EXPECT_TRUE(parseAddType("reg_qword", &type));
    EXPECT_EQ(type, 11u);
    EXPECT_FALSE(parseAddType("REG_LINK", &type));
}

TEST(RegArgs, BothHabitsOfOptionsAndFilesThatLookLikeOptions) {
    const OptionForm forms[] = {{"v", true}, {"ve", false}, {"f", false}};
    ParsedArgs args;
    std::string why;
    ASSERT_TRUE(parseArgs({"HKLM\\A", "/V", "name", "--ve", "-F", "/tmp/x.reg", "--", "/f"}, forms, &args, &why));
    EXPECT_EQ(args.positional, (std::vector<std::string>{"HKLM\\A", "/tmp/x.reg", "/f"}));
    EXPECT_EQ(args.value("v"), "name");
    EXPECT_TRUE(args.has("ve"));
    EXPECT_TRUE(args.has("f"));
    EXPECT_FALSE(parseArgs({"/v"}, forms, &args, &why));
    EXPECT_NE(why.find("needs a value"), std::string::npos);
    EXPECT_FALSE(parseArgs({"/f", "-f"}, forms, &args, &why));
    EXPECT_NE(why.find("twice"), std::string::npos);
    ASSERT_TRUE(parseArgs({"/v", "x", "HKLM"}, forms, &args, &why));
    EXPECT_TRUE(args.optionFirst);
}

TEST(RegPath, RootsByFullAndShortNames) {
    KeyPath p;
    std::string why;
    ASSERT_TRUE(parseKeyPath("hkcu\\\\Software\\A\\", &p, &why));
    EXPECT_EQ(p.root, HKEY_CURRENT_USER);
    EXPECT_EQ(p.full(), "HKEY_CURRENT_USER\\Software\\A");
    EXPECT_EQ(p.parent().full(), "HKEY_CURRENT_USER\\Software");
    EXPECT_EQ(p.leaf(), "A");
    ASSERT_TRUE(parseKeyPath("HKEY_CLASSES_ROOT", &p, &why));
    EXPECT_EQ(p.root, HKEY_CLASSES_ROOT);
    EXPECT_EQ(p.subKey, "");
    for (const char* bad : {"", "\\\\host\\HKLM\\A", "HKLM2\\A", "Software", "HKEY_DYN_DATA"})
        EXPECT_FALSE(parseKeyPath(bad, &p, &why)) << bad;
    // On the command line, as reg.exe takes a KEY.
    for (const char* bad : {"HKCU\\", "HKCU\\A\\\\", "\\\\host\\HKLM"})
        EXPECT_FALSE(parseKeyArgument(bad, &p, &why)) << bad;
    ASSERT_TRUE(parseKeyArgument("HKCU\\A\\", &p, &why));
    EXPECT_EQ(p.full(), "HKEY_CURRENT_USER\\A");
}

}  // namespace
