// The .reg file reader of kalvoreg on arbitrary bytes. What it takes in is
// written again in both formats and read back: an export must import as the
// same sections and values (a key path with a line break, which no .reg line
// can carry, is refused by the writer and left out).
//
// Input: the file. Run: scripts/fuzz.sh regfile SECONDS
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/regfile.h"

using namespace regtool;

namespace {

// Sections and values as they would be imported (line numbers aside).
std::string contents(const RegDocument& doc) {
    std::string out;
    for (const RegFileSection& s : doc.sections) {
        out += (s.remove ? "-[" : "[") + s.path + "]\n";
        for (const RegFileValue& v : s.values) {
            out += " \"" + v.name + "\" ";
            out += v.remove ? std::string("-") : std::to_string(v.type) + ":" + v.data;
            out += "\n";
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    RegDocument doc;
    std::vector<RegParseError> problems;
    if (!parseRegFile(bytes, &doc, &problems)) return 0;
    const std::string before = contents(doc);
    for (RegFormat format : {RegFormat::Regedit4, RegFormat::Version5}) {
        std::string written, why;
        if (!writeRegFile(doc, format, &written, &why)) continue;
        RegDocument again;
        std::vector<RegParseError> againProblems;
        if (!parseRegFile(written, &again, &againProblems) || contents(again) != before) {
            fprintf(stderr, "format %d does not read back:\n--- read\n%s--- written\n%s--- read back\n%s",
                    static_cast<int>(format), before.c_str(), written.c_str(), contents(again).c_str());
            abort();
        }
    }
    return 0;
}
