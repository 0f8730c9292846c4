// Integration harness: the test bed (tests/support/testbed.h) for GoogleTest tests.
#ifndef KIVO_HARNESS_H
#define KIVO_HARNESS_H

#include <gtest/gtest.h>

#include "testbed.h"

// Skips the test (with a message) when not running as root.
#define KIVO_REQUIRE_ROOT()                                                                    \
    do {                                                                                       \
        if (!::kivotest::IsRoot()) GTEST_SKIP() << "integration tests need root (namespaces)"; \
    } while (0)

#endif
