#include "base/EventLoop.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace {

EventLoop* g_mainLoop = nullptr;

void WriteToStderr(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessaro: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "tessaro: unknown error\n");
    }
}

ErrorReporter& Reporter()
{
    static ErrorReporter reporter = WriteToStderr;
    return reporter;
}

} // namespace

EventLoop& MainLoop()
{
    if (!g_mainLoop) throw std::logic_error("no event loop has been set");
    return *g_mainLoop;
}

void SetMainLoop(EventLoop* loop)
{
    g_mainLoop = loop;
}

void SetErrorReporter(ErrorReporter reporter)
{
    Reporter() = reporter ? std::move(reporter) : ErrorReporter(WriteToStderr);
}

void ReportEscapedError(std::exception_ptr error)
{
    // The reporter itself must not let anything escape into the loop.
    try {
        Reporter()(error);
    } catch (...) {
        WriteToStderr(std::current_exception());
    }
}
