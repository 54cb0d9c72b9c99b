// export and import of .reg files.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/regcmds.h"
#include "tools/regconsole.h"
#include "tools/regerror.h"
#include "tools/regfile.h"
#include "tools/regops.h"

namespace regtool {

namespace {

// Reads all of `fd`; false with errno set on a read error.
bool readAll(int fd, std::string* out) {
    char buf[65536];
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(buf, static_cast<size_t>(n));
    }
}

// Writes all of `data` to `fd`; false with errno set on an error.
bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reports a failed local file operation on `file`; returns 1.
int reportFileError(const std::string& command, const std::string& file, int errnum, bool writing) {
    return reportError(command, errorFromErrno(errnum, writing),
                       "(" + std::string(writing ? "cannot write '" : "cannot read '") + file + "': " +
                           strerror(errnum) + ")");
}

// Writes `bytes` to `file` ("-": standard output); 1 after reporting.
int storeFile(const std::string& command, const std::string& file, const std::string& bytes) {
    if (file == "-") {
        if (!writeAll(STDOUT_FILENO, bytes)) return reportFileError(command, "standard output", errno, true);
        return 0;
    }
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return reportFileError(command, file, errno, true);
    bool ok = writeAll(fd, bytes);
    int errnum = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        errnum = errno;
    }
    return ok ? 0 : reportFileError(command, file, errnum, true);
}

}  // namespace

int runExport(const ParsedArgs& args) {
    const std::string cmd = "export";
    KeyPath path;
    if (!expectPositional(cmd, args, 2, "KEY FILE") || !keyArgument(cmd, args.positional[0], &path)) return 1;
    const std::string& file = args.positional[1];
    struct stat st{};
    if (file != "-" && !args.has("y") && stat(file.c_str(), &st) == 0 &&
        !confirmOnTerminal("File " + file + " exists. Overwrite")) {
        return reportError(cmd, TOOL_ERROR_FILE_EXISTS, "('" + file + "' exists; give /y to overwrite it)");
    }
    if (!announceToDaemon(cmd) || !findKey(cmd, path, &path)) return 1;
    std::vector<KeyPath> keys;
    std::string failed;
    if (LONG rv = listKeyTree(path, true, &keys, &failed)) return reportError(cmd + " " + failed, rv);
    RegDocument doc;
    {
        Progress progress("exporting", keys.size());
        for (const KeyPath& key : keys) {
            KeyHandle handle;
            std::vector<ValueRecord> values;
            if (LONG rv = readKeyValues(key, &handle, &values)) return reportError(cmd + " " + key.full(), rv);
            RegFileSection section;
            section.path = key.full();
            for (ValueRecord& v : values) {
                RegFileValue fv;
                fv.name = std::move(v.name);
                fv.type = v.type;
                fv.data = std::move(v.data);
                section.values.push_back(std::move(fv));
            }
            doc.sections.push_back(std::move(section));
            progress.update(doc.sections.size());
        }
    }
    std::string bytes;
    std::string why;
    RegFormat format = args.has("a") ? RegFormat::Regedit4 : RegFormat::Version5;
    if (!writeRegFile(doc, format, &bytes, &why)) return reportError(cmd, TOOL_ERROR_INVALID_DATA, "(" + why + ")");
    if (int status = storeFile(cmd, file, bytes)) return status;
    // Standard output holds the file itself then.
    return file == "-" ? 0 : succeeded();
}

int runImport(const ParsedArgs& args) {
    const std::string cmd = "import";
    if (!expectPositional(cmd, args, 1, "FILE")) return 1;
    const std::string& file = args.positional[0];
    std::string bytes;
    if (file == "-") {
        if (!readAll(STDIN_FILENO, &bytes)) return reportFileError(cmd, "standard input", errno, false);
    } else {
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return reportFileError(cmd, file, errno, false);
        bool ok = readAll(fd, &bytes);
        int errnum = errno;
        close(fd);
        if (!ok) return reportFileError(cmd, file, errnum, false);
    }
    // reg.exe's way: faulty lines are reported and skipped, the rest is
    // imported. /strict: any fault refuses the whole file, changing nothing.
    bool strict = args.has("strict");
    RegDocument doc;
    std::vector<RegParseError> problems;
    bool readable = parseRegFile(bytes, &doc, &problems);
    for (const RegParseError& p : problems) fprintf(stderr, "%s:%d: %s\n", file.c_str(), p.line, p.message.c_str());
    if (!readable || (strict && !problems.empty())) {
        return reportError(cmd + " " + file, TOOL_ERROR_INVALID_DATA,
                           readable ? "(/strict: nothing is imported from a file with a fault)" : "(not a .reg file)");
    }
    if (!announceToDaemon(cmd)) return 1;
    size_t errors = applyDocument(doc, [&](LONG error, const std::string& what, int line) {
        reportError(file + ":" + std::to_string(line) + ": " + what, error);
        return !strict;
    });
    return strict && errors > 0 ? 1 : succeeded();
}

}  // namespace regtool
