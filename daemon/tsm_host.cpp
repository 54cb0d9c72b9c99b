#include "daemon/tsm.h"

#include <unistd.h>

unsigned int _tsm_gethostid() { return static_cast<unsigned int>(gethostid()); }
