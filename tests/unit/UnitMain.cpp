// The entry point of every unit-test program: the log keeps each thread's
// last line for the cases that read it (LogTesting.h), which the service
// itself never does.
#include <gtest/gtest.h>

#include "core/util/LogTesting.h"

int main(int argc, char** argv) {
    KeepLastLogLinesForTest();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
