#include "upgrade_test_support.h"

#include <sys/socket.h>

void UpgradeLoopbackEncoder::reset() {
    linger hard{1, 0};
    ::setsockopt(static_cast<int>(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                 sizeof hard);
    peer->abort();
}
