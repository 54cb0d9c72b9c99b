#include "persistence_util.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace persisttest {

RegistryHome::RegistryHome() : base_(kalvotest::makeTempDir()), dir_(base_ + "/" + kalvotest::privateSubDir()) {
    EXPECT_FALSE(base_.empty());
    mkdir(dir_.c_str(), 0755);
}

RegistryHome::~RegistryHome() {
    std::error_code ec;
    if (!base_.empty()) std::filesystem::remove_all(base_, ec);
}

std::unique_ptr<kalvotest::PrivateDaemon> RegistryHome::start(std::vector<std::string> args) {
    auto d = std::make_unique<kalvotest::PrivateDaemon>(std::move(args));
    d->useBaseDir(base_);
    d->keepDirectory(true);
    std::string err;
    if (!d->start(&err)) {
        ADD_FAILURE() << "daemon did not start: " << err;
        return nullptr;
    }
    d->exportEnv();
    return d;
}

void stopDaemon(std::unique_ptr<kalvotest::PrivateDaemon>& d) {
    if (d == nullptr) return;
    d->signal(SIGTERM);
    EXPECT_TRUE(d->waitExit(60));
    EXPECT_EQ(d->exitStatus(), 2);
    d->stop();
    d.reset();
}

namespace {

void dumpInto(HKEY key, const std::string& path, std::ostringstream& out) {
    char name[1024], cls[1024];
    std::vector<BYTE> data(70000);
    for (DWORD i = 0;; i++) {
        DWORD nameLen = sizeof name, dataLen = static_cast<DWORD>(data.size()), type = 0;
        LONG rv = RegEnumValueA(key, i, name, &nameLen, nullptr, &type, data.data(), &dataLen);
        if (rv == ERROR_NO_MORE_ITEMS) break;
        if (rv != ERROR_SUCCESS) {
            out << path << " value#" << i << " error " << rv << "\n";
            break;
        }
        out << path << " [" << name << "] type " << type << " =";
        for (DWORD b = 0; b < dataLen; b++) out << " " << static_cast<int>(data[b]);
        out << "\n";
    }
    for (DWORD i = 0;; i++) {
        DWORD nameLen = sizeof name, clsLen = sizeof cls;
        LONG rv = RegEnumKeyExA(key, i, name, &nameLen, nullptr, cls, &clsLen, nullptr);
        if (rv == ERROR_NO_MORE_ITEMS) break;
        if (rv != ERROR_SUCCESS && rv != ERROR_MORE_DATA) {
            out << path << " key#" << i << " error " << rv << "\n";
            break;
        }
        std::string sub = path + "\\" + name;
        out << sub << " class(" << cls << ")\n";
        HKEY child = openKey(key, name);
        if (child == nullptr) out << sub << " cannot be opened\n";
        else dumpInto(child, sub, out);
    }
}

}  // namespace

std::string dumpTree(HKEY key) {
    std::ostringstream out;
    dumpInto(key, "", out);
    return out.str();
}

HKEY openKey(HKEY root, const std::string& path) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return nullptr;
    return h;
}

DWORD subKeyCount(HKEY root, const std::string& path) {
    HKEY h = openKey(root, path);
    DWORD n = 0;
    if (h == nullptr || RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return 0xFFFFFFFFu;
    return n;
}

std::string queryValue(HKEY root, const std::string& path, const char* name) {
    HKEY h = openKey(root, path);
    if (h == nullptr) return "<missing>";
    std::vector<BYTE> buf(4096);
    DWORD size = static_cast<DWORD>(buf.size());
    DWORD type = 0;
    if (RegQueryValueExA(h, name, nullptr, &type, buf.data(), &size) != ERROR_SUCCESS) return "<missing>";
    return std::string(reinterpret_cast<char*>(buf.data()), size);
}

}  // namespace persisttest
