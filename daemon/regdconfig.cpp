#include "daemon/regdconfig.h"

volatile int g_verbose = 0;
int keepBackup = 1;
int32_t g_logLines = 1000;
int32_t g_pingCheckInterval = 10;
int32_t g_flushInterval = 50;
uint32_t g_registryProg = REGD_DEFAULT_PROG;
uint32_t g_registryVers = REGD_DEFAULT_VERS;
int32_t g_numSemaphores = 8;
int32_t g_syncPermissions = 438;
int32_t g_numProcesses = 1024;

char* g_kalvoDir = nullptr;
pid_t g_registry_pid = 0;

volatile int g_clientsAreActive = 1;
volatile int g_Kalvo3AppConnected = 0;

std::mutex regdWriteMutex;
std::mutex regdPidListMutex;
