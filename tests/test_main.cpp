#include <gtest/gtest.h>

#include <cstdio>

#include "core/socket_compat.h"
#include "gtest_strict.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    lumeno_test::FailCasesOfFailedSuites();
    net::NetStartup sockets;
    if (!sockets.ok()) {
        std::fprintf(stderr, "the socket library could not be started\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
