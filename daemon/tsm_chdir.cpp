#include "daemon/tsm.h"

#include <unistd.h>

int _tsm_chdir(const char* path) { return chdir(path); }
