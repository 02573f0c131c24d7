#include "QtTestApplication.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int& TestArgc()
{
    static int argc = 1;
    return argc;
}

char** TestArgv()
{
    static char name[] = "tessaro-test";
    static char* argv[] = {name, nullptr};
    return argv;
}

namespace {

class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        // Run by hand outside CTest, the tests still need no display.
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        application_ = new QApplication(TestArgc(), TestArgv());
    }
    void TearDown() override
    {
        delete application_;
        application_ = nullptr;
    }

private:
    QApplication* application_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

} // namespace
