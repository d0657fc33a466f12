// The simulator's socket calls, answered from memory for fuzz_sim_client: no system call and
// no second thread per run, so the harness spends its time in the session's own code.
#include "fake_sim_socket.h"

#include "SimSocket.h"

#include <algorithm>
#include <cstring>

FakeClient fakeClient;

QString peerAddressText(int) {
    return QStringLiteral("127.0.0.1:1");
}

Received receiveSome(int, char* buffer, std::size_t capacity, int) {
    FakeClient& client = fakeClient;
    const std::size_t left = client.bytes.size() - client.read;
    if (left == 0)
        return {client.endOfInput, 0, {}};
    const std::size_t count = std::min({capacity, left, client.segment});
    std::memcpy(buffer, client.bytes.data() + client.read, count);
    client.read += count;
    return {ReceiveStatus::Data, count, std::chrono::system_clock::now()};
}

long sendOnce(int, const char* data, std::size_t size) {
    FakeClient& client = fakeClient;
    if (client.reset)
        return -1;
    const std::size_t room =
        client.readLimit - std::min(client.readLimit, std::size_t(client.received.size()));
    if (room == 0) {
        client.sendFailed = true;
        return -1;
    }
    const std::size_t count = std::min({size, room, client.segment});
    client.received.append(data, static_cast<qsizetype>(count));
    return static_cast<long>(count);
}

void waitForClientToGo(int, int) {}

void resetConnection(int) {
    fakeClient.reset = true;
}
