// The child process of an absolute name is forked from the serving thread:
// it only drops to the caller's ids (raw system calls, this thread alone)
// and does plain file calls before _exit, so no lock another thread held at
// the fork can stop it. Pipe protocol, child to daemon: one RegdHiveIo
// record; after a read, the byte count (u64) and that many bytes.
#include "rpc/regd_hive_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/files.h"

namespace {

constexpr uint64_t MAX_HIVE_BYTES = 1ull << 30;
constexpr int CHILD_SILENCE_MS = 120000;  // a child that says nothing this long is killed
constexpr size_t CHUNK = 256 * 1024;

struct FileId {
    dev_t dev;
    ino_t ino;
};

// Names of the daemon's files: the database, its backup, users' files,
// log, pid and lock files all start "kalvo_", temporaries ".kalvo_".
bool daemonName(const char* base) {
    return strncmp(base, "kalvo_", 6) == 0 || strncmp(base, ".kalvo_", 7) == 0;
}

void addFile(std::vector<FileId>& ids, const char* path) {
    struct stat st{};
    if (lstat(path, &st) == 0 && !S_ISLNK(st.st_mode)) ids.push_back({st.st_dev, st.st_ino});
}

// The daemon's own files as they are now: those of the registry directory
// (the working directory), and its start-up lock and sync socket in /tmp.
std::vector<FileId> ownFiles() {
    std::vector<FileId> ids;
    if (DIR* d = opendir(".")) {
        while (dirent* e = readdir(d))
            if (daemonName(e->d_name)) addFile(ids, e->d_name);
        closedir(d);
    }
    passwd pw{};
    passwd* me = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &me) == 0 && me != nullptr)
        addFile(ids, ("/tmp/kalvo_prevent_multiple_registry_daemons_for_" + std::string(me->pw_name)).c_str());
    addFile(ids, ("/tmp/kalvo_sock_" + std::to_string(getpid())).c_str());
    return ids;
}

bool isOwn(const struct stat& st, const std::vector<FileId>& own) {
    for (const FileId& f : own)
        if (f.dev == st.st_dev && f.ino == st.st_ino) return true;
    return false;
}

const char* lastComponent(const char* name) {
    const char* slash = strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

bool hasDotDot(const char* name) {
    for (const char* p = name; *p != '\0';) {
        size_t len = strcspn(p, "/");
        if (len == 2 && p[0] == '.' && p[1] == '.') return true;
        p += len;
        while (*p == '/') p++;
    }
    return false;
}

enum class Runner { Daemon, Child, Nobody };

// Who does the file work: the daemon for names in its own directory and
// for callers it is (or whose rights it cannot exceed, root's); a child
// with the caller's ids when the daemon is root; nobody otherwise.
Runner runnerFor(const RegdIdentity& who, const char* name) {
    if (name[0] != '/' || who.uid == geteuid()) return Runner::Daemon;
    if (geteuid() == 0) return Runner::Child;
    return who.root ? Runner::Daemon : Runner::Nobody;
}

RegdHiveIo readWork(const char* path, const std::vector<FileId>& own, std::vector<uint8_t>* bytes) {
    RegdHiveIo io;
    // Non-blocking, so that a FIFO put in the file's place cannot hang us.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        io.err = errno;
        io.missing = errno == ENOENT;
        return io;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        io.err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (isOwn(st, own)) {
        io.refused = 1;
    } else if (static_cast<uint64_t>(st.st_size) > MAX_HIVE_BYTES) {
        io.err = EFBIG;
    } else {
        bytes->resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < bytes->size()) {
            ssize_t n = read(fd, bytes->data() + got, bytes->size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the file shrank: what was there is what we have
            got += static_cast<size_t>(n);
        }
        bytes->resize(got);
    }
    close(fd);
    return io;
}

RegdHiveIo writeWork(const char* path, const std::vector<FileId>& own, std::span<const uint8_t> bytes,
                     bool replace) {
    RegdHiveIo io;
    struct stat st{};
    if (stat(path, &st) == 0) {
        if (isOwn(st, own)) io.refused = 1;
        else if (!replace) io.existed = 1;
        // Replacing a file we could not open for writing would defeat its permissions.
        else if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) io.err = errno;
        if (io.refused || io.existed || io.err) return io;
    } else {
        io.missing = 1;
    }
    RegdAtomicFile f;
    bool existed = false;
    if (regdAtomicOpen(f, path, 0600) && regdAtomicWrite(f, bytes.data(), bytes.size()) &&
        regdAtomicCommit(f, replace, &existed))
        return io;
    if (f.fd >= 0) regdAtomicAbort(f);
    io.existed = existed;
    io.err = existed ? 0 : (f.err != 0 ? f.err : EIO);
    return io;
}

bool writeAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly len bytes unless the child goes quiet, ends or dies.
bool readAll(int fd, void* data, size_t len) {
    char* p = static_cast<char*>(data);
    while (len > 0) {
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, CHILD_SILENCE_MS);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Becomes the caller: groups, then gid, then uid, for this thread (the
// only one of the child) through the raw calls.
bool becomeCaller(const RegdIdentity& who) {
    if (who.peer == nullptr || !who.peer->named) return false;
    const RegdPeer& p = *who.peer;
    if (syscall(SYS_setgroups, p.groups.size(), p.groups.data()) != 0) return false;
    if (syscall(SYS_setresgid, p.gid, p.gid, p.gid) != 0) return false;
    if (syscall(SYS_setresuid, who.uid, who.uid, who.uid) != 0) return false;
    return getuid() == who.uid && geteuid() == who.uid;
}

// Runs `work` in a child with the caller's ids; the bytes it reads (when
// `back` is given) come back through the pipe.
template <typename Work>
RegdHiveIo inChild(const RegdIdentity& who, Work work, std::vector<uint8_t>* back) {
    RegdHiveIo io;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        io.err = errno;
        return io;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Nothing of the daemon's stays open in a process the caller owns:
        // only the pipe, whose end is moved to descriptor 3.
        close(fds[0]);
        if (fds[1] != 3 && (dup2(fds[1], 3) != 3)) _exit(1);
        close_range(4, ~0u, 0);
        fds[1] = 3;
        std::vector<uint8_t> bytes;
        RegdHiveIo result;
        if (!becomeCaller(who)) result.err = EPERM;
        else result = work(back != nullptr ? &bytes : nullptr);
        bool sent = writeAll(fds[1], &result, sizeof result);
        if (sent && back != nullptr) {
            uint64_t size = bytes.size();
            sent = writeAll(fds[1], &size, sizeof size) && writeAll(fds[1], bytes.data(), bytes.size());
        }
        _exit(sent ? 0 : 1);
    }
    close(fds[1]);
    if (pid < 0) {
        io.err = errno;
        close(fds[0]);
        return io;
    }
    bool whole = readAll(fds[0], &io, sizeof io);
    if (whole && back != nullptr) {
        uint64_t size = 0;
        whole = readAll(fds[0], &size, sizeof size) && size <= MAX_HIVE_BYTES;
        back->clear();
        // Grown as the bytes come, never ahead of them on the child's word.
        while (whole && back->size() < size) {
            size_t at = back->size();
            size_t take = static_cast<size_t>(std::min<uint64_t>(CHUNK, size - at));
            back->resize(at + take);
            whole = readAll(fds[0], back->data() + at, take);
        }
    }
    close(fds[0]);
    if (!whole) {
        kill(pid, SIGKILL);
        io = RegdHiveIo{};
        io.err = EIO;
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return io;
}

// Runs `work` where runnerFor says: here, in a child, or nowhere (refused).
template <typename Work>
RegdHiveIo byRunner(const RegdIdentity& who, const char* name, Work work, std::vector<uint8_t>* back) {
    switch (runnerFor(who, name)) {
    case Runner::Daemon: return work(back);
    case Runner::Child: return inChild(who, work, back);
    case Runner::Nobody: break;
    }
    RegdHiveIo io;
    io.refused = 1;
    return io;
}

}  // namespace

uint32_t regdCheckHiveName(const RegdIdentity& who, const char* name) {
    if (who.remote) return regdRefuse(who, "a hive procedure from a remote caller");
    if (name[0] != '/' && hasDotDot(name)) return regdRefuse(who, "a hive file outside the registry directory");
    struct stat st{};
    if (daemonName(lastComponent(name)) || (stat(name, &st) == 0 && isOwn(st, ownFiles())))
        return regdRefuse(who, "one of the daemon's own files as a hive file");
    if (runnerFor(who, name) == Runner::Nobody) return regdRefuse(who, "a hive file the daemon cannot open as its caller");
    return 0;
}

RegdHiveIo regdReadHiveFile(const RegdIdentity& who, const char* name, std::vector<uint8_t>* bytes) {
    std::vector<FileId> own = ownFiles();
    bytes->clear();
    return byRunner(who, name, [&](std::vector<uint8_t>* out) { return readWork(name, own, out); }, bytes);
}

RegdHiveIo regdWriteHiveFile(const RegdIdentity& who, const char* name, std::span<const uint8_t> bytes,
                             bool replace) {
    std::vector<FileId> own = ownFiles();
    return byRunner(who, name, [&](std::vector<uint8_t>*) { return writeWork(name, own, bytes, replace); }, nullptr);
}
