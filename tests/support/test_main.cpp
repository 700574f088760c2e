#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "tests/support/gl_context.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (redowl_test::GlContextWasCreated()) {
        // The GL driver keeps allocations whose module is unloaded before the leak checker
        // runs at exit, so the checker can neither symbolise nor suppress them. A process that
        // made a GL context therefore skips the exit-time checks; every other test process
        // (each test runs in its own) keeps them.
        std::fflush(nullptr);
        _exit(status);
    }
    return status;
}
