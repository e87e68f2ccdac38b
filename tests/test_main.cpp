#include <gtest/gtest.h>

#include <cstdio>

#include "core/socket_compat.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    net::NetStartup sockets;
    if (!sockets.ok()) {
        std::fprintf(stderr, "the socket library could not be started\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
