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

class Parser {
  public:
    Parser(std::vector<std::string_view> lines, RegDocument* doc, RegParseError* error)
        : lines_(std::move(lines)), doc_(doc), error_(error) {}

    // Parses every line after the header; false at the first fault.
    bool run() {
        for (index_ = 1; index_ < lines_.size(); index_++) {
            std::string_view line = trim(lines_[index_]);
            if (line.empty() || line.front() == ';') continue;
            bool ok = false;
            if (line.front() == '[') {
                ok = keyLine(line);
            } else if (line.front() == '"' || line.front() == '@') {
                ok = valueLine(line);
            } else {
                ok = fail(lineNumber(), "expected a [key] line, a \"name\"= or @= value line, or a ; comment");
            }
            if (!ok) return false;
        }
        return true;
    }

  private:
    std::vector<std::string_view> lines_;
    RegDocument* doc_;
    RegParseError* error_;
    size_t index_ = 0;

    // 1-based line of the file being read.
    int lineNumber() const { return static_cast<int>(index_) + 1; }

    // Records the fault; always false.
    bool fail(int line, std::string message) {
        error_->line = line;
        error_->message = std::move(message);
        return false;
    }

    // [KEY] or [-KEY]: starts a section.
    bool keyLine(std::string_view line) {
        if (line.back() != ']') return fail(lineNumber(), "a key line must end with ']'");
        std::string_view inner = line.substr(1, line.size() - 2);
        RegFileSection section;
        section.line = lineNumber();
        if (!inner.empty() && inner.front() == '-') {
            section.remove = true;
            inner.remove_prefix(1);
        }
        KeyPath path;
        std::string why;
        if (!parseKeyPath(inner, &path, &why)) return fail(lineNumber(), why);
        if (section.remove && path.subKey.empty()) return fail(lineNumber(), "a root key cannot be deleted");
        section.path = std::string(inner);
        doc_->sections.push_back(std::move(section));
        return true;
    }

    // Reads the quoted text at s[*pos] (which is '"'), unescaping \\, \",
    // \n and \r; *pos ends after the closing quote.
    bool quoted(std::string_view s, size_t* pos, std::string* out) {
        out->clear();
        size_t i = *pos + 1;
        while (i < s.size()) {
            char c = s[i];
            if (c == '"') {
                *pos = i + 1;
                return true;
            }
            if (c == '\\') {
                if (i + 1 >= s.size()) break;
                char e = s[i + 1];
                if (e == '\\' || e == '"') {
                    out->push_back(e);
                } else if (e == 'n') {
                    out->push_back('\n');
                } else if (e == 'r') {
                    out->push_back('\r');
                } else {
                    return fail(lineNumber(), std::string("unknown escape '\\") + e +
                                                  "' in a quoted string (write \\\\ for a backslash)");
                }
                i += 2;
                continue;
            }
            out->push_back(c);
            i++;
        }
        return fail(lineNumber(), "a quoted string has no closing '\"'");
    }

    // "name"=data or @=data: a value of the current section.
    bool valueLine(std::string_view line) {
        if (doc_->sections.empty()) return fail(lineNumber(), "a value line before any [key] line");
        RegFileSection& section = doc_->sections.back();
        if (section.remove) return fail(lineNumber(), "a value line in the section of a deleted key");
        RegFileValue value;
        value.line = lineNumber();
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!quoted(line, &pos, &value.name)) {
            return false;
        }
        while (pos < line.size() && isBlank(line[pos])) pos++;
        if (pos >= line.size() || line[pos] != '=') return fail(lineNumber(), "expected '=' after the value name");
        std::string_view data = trim(line.substr(pos + 1));
        if (!valueData(data, &value)) return false;
        section.values.push_back(std::move(value));
        return true;
    }

    // The part after '=': -, "text", dword: or hex data.
    bool valueData(std::string_view data, RegFileValue* value) {
        if (data == "-") {
            value->remove = true;
            return true;
        }
        if (!data.empty() && data.front() == '"') {
            size_t pos = 0;
            std::string text;
            if (!quoted(data, &pos, &text)) return false;
            if (!trim(data.substr(pos)).empty()) return fail(lineNumber(), "text after the closing '\"'");
            value->type = 1;
            value->data = text;
            value->data.push_back('\0');
            return true;
        }
        if (startsWithIgnoringCase(data, "dword:")) {
            uint32_t v = 0;
            if (!parseHexNumber(trim(data.substr(6)), 8, &v)) {
                return fail(lineNumber(), "dword: takes 1 to 8 hexadecimal digits");
            }
            value->type = 4;
            for (int i = 0; i < 4; i++) value->data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
            return true;
        }
        if (startsWithIgnoringCase(data, "hex")) return hexData(data.substr(3), value);
        return fail(lineNumber(), "unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
    }

    // `rest` follows "hex": ":" or "(N):", then comma-separated bytes,
    // continued on the next line after a trailing backslash.
    bool hexData(std::string_view rest, RegFileValue* value) {
        int firstLine = lineNumber();
        value->type = 3;
        if (!rest.empty() && rest.front() == '(') {
            size_t close = rest.find(')');
            if (close == std::string_view::npos || !parseHexNumber(rest.substr(1, close - 1), 8, &value->type)) {
                return fail(lineNumber(), "hex(N): takes a type number N of 1 to 8 hexadecimal digits");
            }
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest.front() != ':') return fail(lineNumber(), "expected ':' after hex or hex(N)");
        rest.remove_prefix(1);
        // Join the continued lines, remembering where each one starts.
        std::string joined;
        std::vector<std::pair<size_t, int>> starts;
        std::string_view segment = trim(rest);
        while (true) {
            starts.emplace_back(joined.size(), lineNumber());
            bool more = !segment.empty() && segment.back() == '\\';
            if (more) segment.remove_suffix(1);
            joined.append(segment);
            if (!more) break;
            if (index_ + 1 >= lines_.size()) return fail(lineNumber(), "the file ends inside continued hex data");
            index_++;
            segment = trim(lines_[index_]);
        }
        auto lineAt = [&](size_t offset) {
            int line = starts.front().second;
            for (const auto& s : starts) {
                if (s.first <= offset) line = s.second;
            }
            return line;
        };
        std::string bytes;
        if (!trim(joined).empty()) {
            size_t start = 0;
            while (start <= joined.size()) {
                size_t comma = joined.find(',', start);
                if (comma == std::string::npos) comma = joined.size();
                std::string_view token = trim(std::string_view(joined).substr(start, comma - start));
                uint32_t byte = 0;
                if (!parseHexNumber(token, 2, &byte)) {
                    return fail(lineAt(start), token.empty() ? "an empty byte in hex data"
                                                             : "'" + std::string(token) + "' is not a hex byte");
                }
                bytes.push_back(static_cast<char>(byte));
                start = comma + 1;
            }
        }
        if (doc_->format == RegFormat::Version5 && isTextType(value->type)) {
            if (!utf16leToBytes(bytes, &value->data)) {
                return fail(firstLine, "UTF-16 string data with an odd number of bytes");
            }
        } else {
            value->data = bytes;
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

bool parseRegFile(std::string_view bytes, RegDocument* doc, RegParseError* error) {
    doc->sections.clear();
    std::string decoded;
    std::string_view text = bytes;
    if (bytes.substr(0, 2) == kUtf16Bom) {
        if (!utf16leToBytes(bytes.substr(2), &decoded)) {
            std::string whole;
            utf16leToBytes(bytes.substr(2, bytes.size() - 3), &whole);
            error->line = static_cast<int>(splitLines(whole).size());
            error->message = "the UTF-16 text ends in the middle of a character";
            return false;
        }
        text = decoded;
    } else if (bytes.substr(0, 2) == kUtf16BigEndianBom) {
        error->line = 1;
        error->message = "big-endian UTF-16 files are not supported; save the file as UTF-16LE";
        return false;
    } else if (bytes.substr(0, 3) == kUtf8Bom) {
        text.remove_prefix(3);
    }
    std::vector<std::string_view> lines = splitLines(text);
    std::string_view header = trim(lines.front());
    if (header == kHeader4) {
        doc->format = RegFormat::Regedit4;
    } else if (header == kHeader5) {
        doc->format = RegFormat::Version5;
    } else {
        error->line = 1;
        error->message = "not a .reg file: the first line must be REGEDIT4 or " + std::string(kHeader5);
        return false;
    }
    return Parser(std::move(lines), doc, error).run();
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
