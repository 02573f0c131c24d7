#include "QtTestApplication.h"

#include "app/Application.h"
#include "RunUntil.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>

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

std::unique_ptr<TApplication> NewTestApplication(const std::vector<std::string>& arguments)
{
    // TApplication keeps references to argc and argv: both live as long as
    // the test program.
    static std::vector<std::vector<std::string>> keptArguments;
    static std::vector<std::vector<char*>> keptArgv;
    static std::vector<std::unique_ptr<int>> keptArgc;
    static std::vector<std::unique_ptr<QTemporaryDir>> folders;

    std::vector<std::string>& words = keptArguments.emplace_back();
    words.push_back(TestArgv()[0]);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*>& argv = keptArgv.emplace_back();
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int& argc = *keptArgc.emplace_back(std::make_unique<int>(static_cast<int>(words.size())));

    auto app = std::make_unique<TApplication>(argc, argv.data());
    const QTemporaryDir& folder = *folders.emplace_back(std::make_unique<QTemporaryDir>());
    app->SetSettingsFile(folder.filePath(QStringLiteral("mowkin.ini")).toStdString());
    return app;
}

namespace {

class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        // Run by hand outside CTest, the tests still need no display.
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        application_ = new QApplication(TestArgc(), TestArgv());
        SetLoopPass([](int maxWaitMs) {
            // Wakes the wait below at the latest after `maxWaitMs`.
            QTimer wake;
            wake.setSingleShot(true);
            wake.start(maxWaitMs);
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        });
    }
    void TearDown() override
    {
        SetLoopPass(nullptr);
        delete application_;
        application_ = nullptr;
    }

private:
    QApplication* application_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

} // namespace
