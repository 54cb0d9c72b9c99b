// The .reg text format, value data and argument forms of kalvoreg, without
// a daemon: what is written reads back as it was, and damaged input is
// refused with the line at fault.
#include <gtest/gtest.h>

#include <algorithm>
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
    RegFileValue v;
    v.name = name;
    v.type = type;
    v.data = data;
    return v;
}

// Parses `text`, expecting a fault on `line` whose message holds `words`.
void expectFault(const std::string& text, int line, const std::string& words) {
    RegDocument doc;
    RegParseError error;
    ASSERT_FALSE(parseRegFile(text, &doc, &error)) << text;
    EXPECT_EQ(error.line, line) << text << "\n" << error.message;
    EXPECT_NE(error.message.find(words), std::string::npos) << error.message;
}

// A document's sections and values, one per line, for comparisons.
std::string sectionsAsText(const RegDocument& doc) {
    std::string out;
    for (const RegFileSection& s : doc.sections) {
        out += (s.remove ? "-" : "+") + s.path + "\n";
        for (const RegFileValue& v : s.values) {
            out += "  [" + v.name + "] " + (v.remove ? "removed" : std::to_string(v.type) + ":" + v.data) + "\n";
        }
    }
    return out;
}

TEST(RegText, EveryByteStringSurvivesUtf16AndBack) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; round++) {
        std::string bytes(rng() % 24, '\0');
        for (char& c : bytes) c = static_cast<char>(rng() % 256);
        std::string back;
        ASSERT_TRUE(utf16leToBytes(bytesToUtf16le(bytes), &back));
        ASSERT_EQ(back, bytes);
    }
    // UTF-8 becomes proper UTF-16; a stray byte its escape code unit.
    EXPECT_EQ(bytesToUtf16le("a\xC3\xA9"), std::string("a\0\xE9\0", 4));
    EXPECT_EQ(bytesToUtf16le("\xF0\x9F\x98\x80"), "\x3D\xD8\x00\xDE"s);
    EXPECT_EQ(bytesToUtf16le("\xE9"), "\xE9\xDC");
    std::string out;
    EXPECT_FALSE(utf16leToBytes("abc", &out));
}

TEST(RegText, NamesSortWithoutCaseAndStayDistinct) {
    EXPECT_TRUE(lessIgnoringCase("alpha", "Beta"));
    EXPECT_TRUE(lessIgnoringCase("", "a"));
    EXPECT_FALSE(lessIgnoringCase("B", "a"));
    EXPECT_TRUE(lessIgnoringCase("A", "a") != lessIgnoringCase("a", "A"));
}

TEST(RegFile, Regedit4OutputIsExactAndWrapsLongHex) {
    RegDocument doc;
    RegFileSection s;
    s.path = "HKEY_LOCAL_MACHINE\\Software\\T";
    s.values.push_back(value("", 1, "say \"hi\" C:\\x\0"s));
    s.values.push_back(value("D", 4, std::string("\x2a\0\0\x80", 4)));
    s.values.push_back(value("Empty", 3, ""));
    s.values.push_back(value("Two NULs", 1, std::string("a\0b\0", 4)));
    s.values.push_back(value("Q", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)));
    s.values.push_back(value("Long", 3, std::string(40, '\xab')));
    doc.sections.push_back(s);
    RegFileSection gone;
    gone.path = "HKEY_CURRENT_USER\\Old";
    gone.remove = true;
    doc.sections.push_back(gone);
    std::string bytes;
    std::string why;
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
                  firstLine + "\\\r\n" + secondLine +
                  "\r\n"
                  "\r\n"
                  "[-HKEY_CURRENT_USER\\Old]\r\n"
                  "\r\n");
    RegDocument back;
    RegParseError error;
    ASSERT_TRUE(parseRegFile(bytes, &back, &error)) << error.line << ": " << error.message;
    EXPECT_EQ(sectionsAsText(back), sectionsAsText(doc));
}

TEST(RegFile, BothFormatsGiveBackEveryNameTypeAndByte) {
    RegDocument doc;
    RegFileSection s;
    s.path = "HKEY_USERS\\.Default\\K\xC3\xA9y [1]";
    s.values.push_back(value("quote\" back\\slash\nline", 1, std::string("x\r\ny\0", 5)));
    s.values.push_back(value("latin1 \xE9", 1, std::string("caf\xE9\0", 5)));
    s.values.push_back(value("utf8 \xE2\x82\xAC", 2, std::string("%P%\xE2\x82\xAC\0", 7)));
    s.values.push_back(value("odd", 7, std::string("a\0\xFF\0\0", 5)));
    s.values.push_back(value("short string", 1, ""));
    s.values.push_back(value("dword too long", 4, "12345"));
    s.values.push_back(value("big type", 0x12345678, std::string(300, '\x07')));
    s.values.push_back(value("gone", 0, ""));
    s.values.back().remove = true;
    doc.sections.push_back(s);
    for (RegFormat format : {RegFormat::Regedit4, RegFormat::Version5}) {
        std::string bytes;
        std::string why;
        ASSERT_TRUE(writeRegFile(doc, format, &bytes, &why));
        RegDocument back;
        RegParseError error;
        ASSERT_TRUE(parseRegFile(bytes, &back, &error)) << error.line << ": " << error.message;
        EXPECT_EQ(back.format, format);
        EXPECT_EQ(sectionsAsText(back), sectionsAsText(doc));
    }
}

TEST(RegFile, Version5IsUtf16WithItsMarkAndUtf16StringData) {
    RegDocument doc;
    RegFileSection s;
    s.path = "HKEY_LOCAL_MACHINE\\S";
    s.values.push_back(value("E", 2, std::string("%A%\0", 4)));
    doc.sections.push_back(s);
    std::string bytes;
    std::string why;
    ASSERT_TRUE(writeRegFile(doc, RegFormat::Version5, &bytes, &why));
    EXPECT_EQ(bytes, "\xFF\xFE" + utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\S]\r\n"
                                        "\"E\"=hex(2):25,00,41,00,25,00,00,00\r\n\r\n"));
}

TEST(RegFile, HandWrittenFileReadsAsWritten) {
    std::string text =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
        "; a comment\n"
        "\n"
        "  [HKLM\\Software\\A]  \r\n"
        "@=\"d\"\n"
        "\"n\" = DWORD:FF\n"
        "\"m\"=hex(7):61,00,00,00,\\\n"
        "   62,00 , 00,00,\\\n"
        "  00,00\n"
        "\"x\"=-\n"
        "[-HKCU\\Gone]\n";
    RegDocument doc;
    RegParseError error;
    ASSERT_TRUE(parseRegFile(text, &doc, &error)) << error.line << ": " << error.message;
    EXPECT_EQ(sectionsAsText(doc), "+HKLM\\Software\\A\n"
                                   "  [] 1:d\0\n"
                                   "  [n] 4:\xFF\0\0\0\n"
                                   "  [m] 7:a\0b\0\0\n"
                                   "  [x] removed\n"
                                   "-HKCU\\Gone\n"s);
    EXPECT_EQ(doc.sections[0].values[2].line, 7);
}

TEST(RegFile, DamagedInputIsRefusedWithItsLine) {
    const std::string h = "REGEDIT4\n";
    expectFault("", 1, "first line");
    expectFault("REGEDIT5\n[HKLM\\A]\n", 1, "first line");
    expectFault("\xFE\xFF", 1, "big-endian");
    expectFault("\xFF\xFE" + utf16("REGEDIT4\n[HKLM]\n") + "x", 3, "middle of a character");
    expectFault(h + "\"v\"=\"x\"\n", 2, "before any [key]");
    expectFault(h + "[HKLM\\A\n", 2, "']'");
    expectFault(h + "[HKXX\\A]\n", 2, "unknown root");
    expectFault(h + "[-HKLM]\n", 2, "root key cannot be deleted");
    expectFault(h + "[-HKLM\\A]\n\"v\"=\"x\"\n", 3, "deleted key");
    expectFault(h + "[HKLM\\A]\n\"v\"=\"open\n", 3, "closing");
    expectFault(h + "[HKLM\\A]\n\"v\"=\"C:\\Windows\"\n", 3, "unknown escape");
    expectFault(h + "[HKLM\\A]\n\"v\" \"x\"\n", 3, "'='");
    expectFault(h + "[HKLM\\A]\n\"v\"=\"x\" y\n", 3, "after the closing");
    expectFault(h + "[HKLM\\A]\n\"v\"=dword:123456789\n", 3, "dword:");
    expectFault(h + "[HKLM\\A]\n\"v\"=dword:\n", 3, "dword:");
    expectFault(h + "[HKLM\\A]\n\"v\"=hex(zz):00\n", 3, "hex(N)");
    expectFault(h + "[HKLM\\A]\n\"v\"=hex(1)00\n", 3, "':'");
    expectFault(h + "[HKLM\\A]\n\"v\"=word:1\n", 3, "unknown value data");
    expectFault(h + "[HKLM\\A]\n\"v\"=hex:00,\\\n  01,1g2\n", 4, "'1g2'");
    expectFault(h + "[HKLM\\A]\n\"v\"=hex:00,,01\n", 3, "empty byte");
    expectFault(h + "[HKLM\\A]\n\"v\"=hex:00,\\", 3, "ends inside");
    expectFault(h + "[HKLM\\A]\nstray text\n", 3, "expected a [key]");
    expectFault("Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=hex(2):41,00,42\n", 3, "odd number");
}

// Lines of a file as the parser counts them (UTF-16 files decoded).
int lineCount(const std::string& bytes) {
    std::string text = bytes;
    if (bytes.substr(0, 2) == "\xFF\xFE") {
        utf16leToBytes(bytes.substr(2, (bytes.size() - 2) / 2 * 2), &text);
    }
    return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

TEST(RegFile, DamagedCopiesOfGoodFilesFailOnALineOfTheFile) {
    RegDocument doc;
    RegFileSection s;
    s.path = "HKEY_LOCAL_MACHINE\\Software\\Fuzz";
    s.values.push_back(value("", 1, "a \"b\" \\c\0"s));
    s.values.push_back(value("d", 4, "\1\2\3\4"));
    s.values.push_back(value("m", 7, std::string(90, 'x') + "\0\0"s));
    doc.sections.push_back(s);
    std::mt19937 rng(11);
    const std::string interesting = "\\\"[]\n\r,=@-:()hex0";
    for (RegFormat format : {RegFormat::Regedit4, RegFormat::Version5}) {
        std::string good;
        std::string why;
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
            RegParseError error;
            if (parseRegFile(bad, &parsed, &error)) continue;
            EXPECT_GE(error.line, 1);
            EXPECT_LE(error.line, lineCount(bad));
            EXPECT_FALSE(error.message.empty());
        }
    }
}

TEST(RegFile, KeyNameWithLineBreakCannotBeWritten) {
    RegDocument doc;
    doc.sections.emplace_back();
    doc.sections[0].path = "HKEY_LOCAL_MACHINE\\a\nb";
    std::string bytes;
    std::string why;
    EXPECT_FALSE(writeRegFile(doc, RegFormat::Version5, &bytes, &why));
    EXPECT_NE(why.find("line break"), std::string::npos);
}

TEST(RegData, QueryShowsEachTypeAsDocumented) {
    EXPECT_EQ(formatQueryData(1, std::string("abc\0junk", 8), "\\0"), "abc");
    EXPECT_EQ(formatQueryData(7, std::string("a\0bc\0\0", 6), "\\0"), "a\\0bc");
    EXPECT_EQ(formatQueryData(7, std::string("a\0bc\0\0", 6), ";"), "a;bc");
    EXPECT_EQ(formatQueryData(4, std::string("\x2a\0\0\0", 4), ""), "0x2a");
    EXPECT_EQ(formatQueryData(5, std::string("\x01\x02\x03\x04", 4), ""), "0x1020304");
    EXPECT_EQ(formatQueryData(11, std::string("\xff\0\0\0\0\0\0\x01", 8), ""), "0x1000000000000ff");
    EXPECT_EQ(formatQueryData(3, "\x0a\xbc", ""), "0ABC");
    EXPECT_EQ(formatQueryData(4, "\x01\x02", ""), "0102");  // a DWORD of the wrong size
    EXPECT_EQ(typeName(0x99), "0x99");
}

TEST(RegData, AddTakesEachTypeAndRefusesWhatDoesNotFit) {
    std::string bytes;
    std::string why;
    ASSERT_TRUE(parseAddData(7, "a\\0bc", "\\0", &bytes, &why));
    EXPECT_EQ(bytes, std::string("a\0bc\0\0", 6));
    ASSERT_TRUE(parseAddData(7, "", "\\0", &bytes, &why));
    EXPECT_EQ(bytes, std::string("\0", 1));
    ASSERT_TRUE(parseAddData(5, "0x01020304", "", &bytes, &why));
    EXPECT_EQ(bytes, "\x01\x02\x03\x04");
    ASSERT_TRUE(parseAddData(11, "18446744073709551615", "", &bytes, &why));
    EXPECT_EQ(bytes, std::string(8, '\xff'));
    ASSERT_TRUE(parseAddData(3, "00fF", "", &bytes, &why));
    EXPECT_EQ(bytes, std::string("\0\xff", 2));
    EXPECT_FALSE(parseAddData(4, "4294967296", "", &bytes, &why));
    EXPECT_FALSE(parseAddData(4, "-1", "", &bytes, &why));
    EXPECT_FALSE(parseAddData(4, "0x", "", &bytes, &why));
    EXPECT_FALSE(parseAddData(11, "18446744073709551616", "", &bytes, &why));
    EXPECT_FALSE(parseAddData(3, "abc", "", &bytes, &why));
    EXPECT_FALSE(parseAddData(0, "zz", "", &bytes, &why));
    EXPECT_FALSE(parseAddData(7, "a,,b", ",", &bytes, &why));
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
    ASSERT_TRUE(parseArgs({"/?"}, forms, &args, &why));
    EXPECT_TRUE(args.help);
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
    for (const char* bad : {"", "\\\\host\\HKLM\\A", "HKLM2\\A", "Software"}) {
        EXPECT_FALSE(parseKeyPath(bad, &p, &why)) << bad;
    }
}

}  // namespace
