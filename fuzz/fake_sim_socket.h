#pragma once

#include "SimSocket.h"

#include <QByteArray>

#include <cstddef>
#include <vector>

// The client at the other end of the one connection the fake socket calls serve.
struct FakeClient {
    std::vector<std::uint8_t> bytes;                  // everything the client sends
    std::size_t read = 0;                             // how much of it the session has taken
    std::size_t segment = 1;                          // the most one receive or one send moves
    ReceiveStatus endOfInput = ReceiveStatus::Closed; // what a receive gets after the last byte
    std::size_t readLimit = 0;                        // the most the client reads before it stops
    QByteArray received;                              // what the session sent
    bool sendFailed = false;
    bool reset = false;
};

extern FakeClient fakeClient;
