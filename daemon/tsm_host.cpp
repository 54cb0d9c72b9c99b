#include "daemon/tsm.h"

#include <unistd.h>

unsigned int _tsm_gethostid() {
    // Without /etc/hostid the C library derives the id from the host name's
    // address, a resolver look-up on every call; the id does not change while
    // the daemon runs.
    static const unsigned int hostId = static_cast<unsigned int>(gethostid());
    return hostId;
}
