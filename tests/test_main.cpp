// The main of every test program: the application object lives on the main thread
// for the whole run, as in a real program.
#include "toolkit/application.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    TApplication app;
    return RUN_ALL_TESTS();
}
