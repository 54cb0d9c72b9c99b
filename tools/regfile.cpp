#include "tools/regfile.h"

#include <cstdio>

#include "tools/regpath.h"
#include "tools/regtext.h"

namespace regtool {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";
constexpr std::string_view kUtf16BigEndianBom = "\xFE\xFF";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Longest line the writer makes before breaking hex data, backslash included.
constexpr size_t kLineWidth = 80;

// Space or tab.
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// `s` without blanks at either end.
std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// True when `s` begins with `prefix`, ignoring case.
bool startsWithIgnoringCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalIgnoringCase(s.substr(0, prefix.size()), prefix);
}

// A hexadecimal number of 1 to maxDigits digits, the whole of `text`.
bool parseHexNumber(std::string_view text, size_t maxDigits, uint32_t* out) {
    if (text.empty() || text.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char c : text) {
        int d = hexDigitValue(c);
        if (d < 0) return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

// Types whose data a Unicode .reg file carries as UTF-16LE.
bool isTextType(uint32_t type) { return type == 1 || type == 2 || type == 7; }

// The lines of `text`, split at LF, each without a trailing CR.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Where a value line puts its value.
enum class Target { NoKeyYet, Open, Deleted, Refused };

class Parser {
  public:
    Parser(std::vector<std::string_view> lines, RegDocument* doc, std::vector<RegParseError>* problems)
        : lines_(std::move(lines)), doc_(doc), problems_(problems) {}

    // Takes every line after the header, leaving out and listing the faulty ones.
    void run(bool win31) {
        for (index_ = 1; index_ < lines_.size(); index_++) {
            std::string_view line = trimLeft(lines_[index_]);
            if (line.empty() || line.front() == ';') continue;
            if (win31) {
                win31Line(line);
            } else if (line.front() == '[') {
                keyLine(line);
            } else if (line.front() == '"' || line.front() == '@') {
                valueLine(line);
            } else {
                problem("not a [key] line, a \"name\"= or @= value line, or a ; comment");
            }
        }
    }

  private:
    std::vector<std::string_view> lines_;
    RegDocument* doc_;
    std::vector<RegParseError>* problems_;
    size_t index_ = 0;
    Target target_ = Target::NoKeyYet;

    static std::string_view trimLeft(std::string_view s) {
        while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
        return s;
    }

    // True when `rest` holds nothing but blanks and perhaps a ; comment.
    static bool endsLine(std::string_view rest) {
        rest = trimLeft(rest);
        return rest.empty() || rest.front() == ';';
    }

    // Lists a fault of the current line; always false.
    bool problem(std::string message) {
        problems_->push_back({static_cast<int>(index_) + 1, std::move(message)});
        return false;
    }

    // Opens a new section for `path` (without the '-' of a deletion).
    bool startSection(std::string_view path, bool remove) {
        KeyPath parsed;
        std::string why;
        target_ = Target::Refused;
        if (!parseKeyPath(path, &parsed, &why)) return problem(why + "; the key's values are skipped");
        if (remove && parsed.subKey.empty()) return problem("a root key cannot be deleted");
        RegFileSection section;
        section.line = static_cast<int>(index_) + 1;
        section.path = std::string(path);
        section.remove = remove;
        doc_->sections.push_back(std::move(section));
        target_ = remove ? Target::Deleted : Target::Open;
        return true;
    }

    // [KEY] or [-KEY]; the name ends at the line's last ']', as in reg.exe.
    void keyLine(std::string_view line) {
        size_t close = line.rfind(']');
        if (close == std::string_view::npos) {
            target_ = Target::Refused;
            problem("a key line must end with ']'; the key's values are skipped");
            return;
        }
        std::string_view inner = line.substr(1, close - 1);
        bool remove = !inner.empty() && inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        startSection(inner, remove);
    }

    // A Windows 3.1 line: "HKEY_CLASSES_ROOT\key [=] text" sets the key's default value.
    void win31Line(std::string_view line) {
        if (line.substr(0, 17) != "HKEY_CLASSES_ROOT") {
            problem("a REGEDIT (Windows 3.1) file holds only HKEY_CLASSES_ROOT lines");
            return;
        }
        size_t keyEnd = line.find_first_of(" \t");
        if (keyEnd == std::string_view::npos) keyEnd = line.size();
        std::string_view text = trimLeft(line.substr(keyEnd));
        if (!text.empty() && text.front() == '=') text.remove_prefix(1);
        if (!text.empty() && text.front() == ' ') text.remove_prefix(1);  // one space at most
        if (!startSection(line.substr(0, keyEnd), false)) return;
        RegFileValue value;
        value.line = static_cast<int>(index_) + 1;
        value.type = 1;
        value.data = std::string(text) + '\0';
        doc_->sections.back().values.push_back(std::move(value));
    }

    // Reads the quoted text at s[*pos] (which is '"'), unescaping \\, \",
    // \n and \r; another escaped character stands for itself, with a
    // warning, as reg.exe takes it. *pos ends after the closing quote.
    bool quoted(std::string_view s, size_t* pos, std::string* out) {
        out->clear();
        for (size_t i = *pos + 1; i < s.size(); i++) {
            char c = s[i];
            if (c == '"') {
                *pos = i + 1;
                return true;
            }
            if (c == '\\' && i + 1 < s.size()) {
                c = s[++i];
                if (c == 'n') {
                    c = '\n';
                } else if (c == 'r') {
                    c = '\r';
                } else if (c == '0') {
                    return problem("'\\0' in a quoted string; the line is skipped");
                } else if (c != '\\' && c != '"') {
                    problem(std::string("unknown escape '\\") + c + "' taken as '" + c +
                            "' (write \\\\ for a backslash)");
                }
            }
            out->push_back(c);
        }
        return problem("a quoted string has no closing '\"'; the line is skipped");
    }

    // "name"=data or @=data.
    void valueLine(std::string_view line) {
        if (target_ == Target::Deleted || target_ == Target::Refused) return;  // reg.exe ignores these too
        if (target_ == Target::NoKeyYet) {
            problem("a value line before any [key] line is skipped");
            return;
        }
        RegFileValue value;
        value.line = static_cast<int>(index_) + 1;
        size_t pos = 1;  // after '@'
        if (line.front() == '"') {
            pos = 0;
            if (!quoted(line, &pos, &value.name)) return;
        }
        std::string_view data = trimLeft(line.substr(pos));
        if (data.empty() || data.front() != '=') {
            problem("expected '=' after the value name; the line is skipped");
            return;
        }
        if (valueData(trimLeft(data.substr(1)), &value)) doc_->sections.back().values.push_back(std::move(value));
    }

    // The part after '=': -, "text", dword: or hex data.
    bool valueData(std::string_view data, RegFileValue* value) {
        const char* skipped = "; the line is skipped";
        if (!data.empty() && data.front() == '-' && endsLine(data.substr(1))) {
            value->remove = true;
            return true;
        }
        if (!data.empty() && data.front() == '"') {
            size_t pos = 0;
            if (!quoted(data, &pos, &value->data)) return false;
            if (!endsLine(data.substr(pos))) return problem(std::string("text after the closing '\"'") + skipped);
            value->type = 1;
            value->data.push_back('\0');
            return true;
        }
        if (startsWithIgnoringCase(data, "dword:")) {
            std::string_view digits = trimLeft(data.substr(6));
            size_t end = 0;
            while (end < digits.size() && hexDigitValue(digits[end]) >= 0) end++;
            uint32_t v = 0;
            if (!parseHexNumber(digits.substr(0, end), 8, &v) || !endsLine(digits.substr(end))) {
                return problem(std::string("dword: takes 1 to 8 hexadecimal digits") + skipped);
            }
            value->type = 4;
            for (int i = 0; i < 4; i++) value->data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
            return true;
        }
        if (startsWithIgnoringCase(data, "hex")) return hexData(data.substr(3), value);
        return problem(std::string("unknown value data (expected \"text\", dword:, hex:, hex(N): or -)") + skipped);
    }

    // Adds the comma-separated bytes of `s` to *bytes: a comma may end the
    // list, a ';' comment may follow it, and a backslash (*more) continues it
    // on the next line. False at a token that is no byte.
    bool hexBytes(std::string_view s, std::string* bytes, bool* more) {
        *more = false;
        size_t pos = 0;
        while (true) {
            while (pos < s.size() && isBlank(s[pos])) pos++;
            size_t start = pos;
            uint32_t byte = 0;
            for (; pos < s.size() && hexDigitValue(s[pos]) >= 0; pos++) {
                if (byte <= 0xFF) byte = byte * 16 + static_cast<uint32_t>(hexDigitValue(s[pos]));
            }
            if (pos > start) {
                if (byte > 0xFF) return problem("'" + std::string(s.substr(start, pos - start)) + "' is not a hex byte");
                bytes->push_back(static_cast<char>(byte));
                while (pos < s.size() && isBlank(s[pos])) pos++;
            }
            if (pos == s.size() || s[pos] == ';') return true;
            if (s[pos] == '\\') {
                *more = true;
                return endsLine(s.substr(pos + 1)) || problem("text after the continuing backslash");
            }
            if (s[pos] != ',' || pos == start) {
                size_t end = s.find_first_of(",\\;", pos);
                std::string token(trim(s.substr(start, end == std::string_view::npos ? end : end - start)));
                return problem(token.empty() ? "an empty byte in hex data" : "'" + token + "' is not a hex byte");
            }
            pos++;
        }
    }

    // Skips blank and ';' lines after a continuing backslash; true when a
    // continuation line follows (index_ on it), false at the end of the file
    // or at a line that cannot continue hex data (index_ before it).
    bool nextContinuation() {
        size_t i = index_ + 1;
        while (i < lines_.size()) {
            std::string_view l = trimLeft(lines_[i]);
            if (!l.empty() && l.front() != ';') {
                if (hexDigitValue(l.front()) < 0 && l.front() != '\\') break;
                index_ = i;
                return true;
            }
            i++;
        }
        index_ = i - 1;
        return false;
    }

    // `rest` follows "hex": ":" or "(N):", then the bytes.
    bool hexData(std::string_view rest, RegFileValue* value) {
        value->type = 3;
        if (!rest.empty() && rest.front() == '(') {
            size_t close = rest.find(')');
            if (close == std::string_view::npos || !parseHexNumber(rest.substr(1, close - 1), 8, &value->type)) {
                return problem("hex(N): takes a type number N of 1 to 8 hexadecimal digits; the line is skipped");
            }
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest.front() != ':') return problem("expected ':' after hex or hex(N); the line is skipped");
        std::string bytes;
        bool more = false;
        bool ok = hexBytes(rest.substr(1), &bytes, &more);
        while (ok && more) {
            size_t before = index_;
            if (!nextContinuation()) {
                // reg.exe sets what was read when the file ends; another line
                // ends the value unread.
                if (index_ + 1 >= lines_.size()) break;
                index_ = before;
                return problem("continued hex data stops at the next line; the value is skipped");
            }
            ok = hexBytes(trimLeft(lines_[index_]), &bytes, &more);
        }
        if (!ok) {
            // The rest of a broken value is not taken as lines of their own.
            while (index_ + 1 < lines_.size() && trim(lines_[index_]).ends_with('\\')) index_++;
            return false;
        }
        if (!isTextType(value->type)) {
            value->data = bytes;
            return true;
        }
        // A string's terminator is added when it lacks one, so that the
        // registry keeps the whole text.
        size_t unit = doc_->format == RegFormat::Version5 ? 2 : 1;
        if (bytes.size() % unit != 0) {
            return problem("UTF-16 string data with an odd number of bytes; the value is skipped");
        }
        if (!bytes.empty() && bytes.find_first_not_of('\0', bytes.size() - unit) != std::string::npos) {
            bytes.append(unit, '\0');
        }
        if (unit == 1) {
            value->data = bytes;
        } else {
            utf16leToBytes(bytes, &value->data);
        }
        return true;
    }
};

// `s` in double quotes with \\, \", \n and \r escaped.
std::string quoteText(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

// A REG_SZ that a quoted string gives back byte for byte: one NUL, at the
// end, and no line break (kept readable rather than escaped).
bool isPlainString(const RegFileValue& v) {
    if (v.type != 1 || v.data.empty() || v.data.back() != '\0') return false;
    std::string_view text(v.data.data(), v.data.size() - 1);
    return text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

// Appends `line` and `bytes` as comma-separated hex, broken before 80 columns.
void appendHex(std::string& out, std::string line, std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    size_t onLine = 0;
    for (size_t i = 0; i < bytes.size(); i++) {
        std::string token{digits[static_cast<uint8_t>(bytes[i]) >> 4], digits[static_cast<uint8_t>(bytes[i]) & 0xF]};
        if (i + 1 < bytes.size()) token += ',';
        if (onLine > 0 && line.size() + token.size() + 1 > kLineWidth) {
            out += line + "\\\r\n";
            line = "  ";
            onLine = 0;
        }
        line += token;
        onLine++;
    }
    out += line + "\r\n";
}

// Appends the line(s) of one value in the notation that keeps its bytes.
void appendValue(std::string& out, const RegFileValue& v, RegFormat format) {
    std::string prefix = (v.name.empty() ? std::string("@") : quoteText(v.name)) + "=";
    if (v.remove) {
        out += prefix + "-\r\n";
    } else if (isPlainString(v)) {
        out += prefix + quoteText(std::string_view(v.data.data(), v.data.size() - 1)) + "\r\n";
    } else if (v.type == 4 && v.data.size() == 4) {
        uint32_t d = static_cast<uint32_t>(static_cast<uint8_t>(v.data[0])) |
                     (static_cast<uint32_t>(static_cast<uint8_t>(v.data[1])) << 8) |
                     (static_cast<uint32_t>(static_cast<uint8_t>(v.data[2])) << 16) |
                     (static_cast<uint32_t>(static_cast<uint8_t>(v.data[3])) << 24);
        char buf[16];
        snprintf(buf, sizeof buf, "dword:%08x", d);
        out += prefix + buf + "\r\n";
    } else {
        char kind[24] = "hex:";
        if (v.type != 3) snprintf(kind, sizeof kind, "hex(%x):", v.type);
        bool utf16 = format == RegFormat::Version5 && isTextType(v.type);
        appendHex(out, prefix + kind, utf16 ? bytesToUtf16le(v.data) : v.data);
    }
}

}  // namespace

bool parseRegFile(std::string_view bytes, RegDocument* doc, std::vector<RegParseError>* problems) {
    doc->sections.clear();
    problems->clear();
    std::string decoded;
    std::string_view text = bytes;
    bool oddEnd = false;
    if (bytes.substr(0, 2) == kUtf16Bom) {
        oddEnd = bytes.size() % 2 != 0;
        utf16leToBytes(bytes.substr(2, (bytes.size() - 2) / 2 * 2), &decoded);
        text = decoded;
    } else if (bytes.substr(0, 2) == kUtf16BigEndianBom) {
        problems->push_back({1, "big-endian UTF-16 files are not supported; save the file as UTF-16LE"});
        return false;
    } else if (bytes.substr(0, 3) == kUtf8Bom) {
        text.remove_prefix(3);
    }
    std::vector<std::string_view> lines = splitLines(text);
    // Blanks may lead the header; trailing blanks are forgiven too.
    std::string_view header = trim(lines.front());
    bool win31 = header == "REGEDIT";
    doc->format = header == kHeader5 ? RegFormat::Version5 : RegFormat::Regedit4;
    if (!win31 && header != kHeader4 && header != kHeader5) {
        bool takenUnread = header.substr(0, 7) == "REGEDIT";
        problems->push_back({1, takenUnread ? "the header '" + std::string(header) +
                                                  "' is taken but, as by reg.exe, nothing below it is imported"
                                            : "not a .reg file: the first line must be REGEDIT4, " +
                                                  std::string(kHeader5) + " or REGEDIT"});
        return takenUnread;
    }
    size_t count = lines.size();
    Parser(std::move(lines), doc, problems).run(win31);
    if (oddEnd) problems->push_back({static_cast<int>(count), "the UTF-16 text ends in the middle of a character"});
    return true;
}

bool writeRegFile(const RegDocument& doc, RegFormat format, std::string* bytes, std::string* why) {
    std::string text(format == RegFormat::Regedit4 ? kHeader4 : kHeader5);
    text += "\r\n\r\n";
    for (const RegFileSection& s : doc.sections) {
        if (s.path.find_first_of("\r\n") != std::string::npos) {
            *why = "the key name '" + s.path + "' holds a line break, which a .reg file cannot carry";
            return false;
        }
        text += (s.remove ? "[-" : "[") + s.path + "]\r\n";
        for (const RegFileValue& v : s.values) appendValue(text, v, format);
        text += "\r\n";
    }
    if (format == RegFormat::Regedit4) {
        *bytes = std::move(text);
    } else {
        *bytes = std::string(kUtf16Bom) + bytesToUtf16le(text);
    }
    return true;
}

}  // namespace regtool
