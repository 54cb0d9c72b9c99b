#include "base/config.h"

namespace {
RegdConfig config;
}

const RegdConfig& g_config = config;
std::atomic<int> g_verbose{0};

RegdConfig& regdStartupConfig() { return config; }
