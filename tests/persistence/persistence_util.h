// Daemons started again and again on one registry directory, and the
// client-side views of a registry that the persistence tests compare.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "harness/daemon_harness.h"
#include "kalvo/winreg.h"

namespace persisttest {

// A base directory that outlives the daemons started on it, with the
// registry directory they use made at once (so that files can be put in
// place before the first start).
class RegistryHome {
  public:
    RegistryHome();
    ~RegistryHome();
    RegistryHome(const RegistryHome&) = delete;
    RegistryHome& operator=(const RegistryHome&) = delete;
    const std::string& dir() const { return dir_; }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string log() const { return kalvotest::readFile(file("kalvo_reg.log")); }
    // Starts a daemon on this home and points the client library at it;
    // null (with a test failure) when it does not come up.
    std::unique_ptr<kalvotest::PrivateDaemon> start(std::vector<std::string> args = {});

  private:
    std::string base_;
    std::string dir_;
};

// SIGTERM, and the orderly end with its final write (exit status 2).
void stopDaemon(std::unique_ptr<kalvotest::PrivateDaemon>& d);
// Every key below `key` with its class, and every value with its type and
// bytes, in enumeration order, one line each.
std::string dumpTree(HKEY key);
HKEY openKey(HKEY root, const std::string& path);  // null when missing
DWORD subKeyCount(HKEY root, const std::string& path);
// The bytes of a value (name null: the default value); "<missing>" if none.
std::string queryValue(HKEY root, const std::string& path, const char* name);

}  // namespace persisttest
