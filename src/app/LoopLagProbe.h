// LoopLagProbe: measures how late the event loop runs a short timer, for the
// end-to-end tests and the benchmark. Off unless TESSARO_LAG_PROBE names a
// file; then every tick that comes more than ReportLagMs late appends a line
// "<steady clock ms> <lag ms>" to it (the steady clock is CLOCK_MONOTONIC,
// which a test reads as well). Made on the GUI thread after the QApplication.
#pragma once

#include <QObject>

#include <cstdint>
#include <cstdio>
#include <memory>

class QTimer;

class TLoopLagProbe final : public QObject {
public:
    static constexpr int TickMs = 10;
    static constexpr std::int64_t ReportLagMs = 5;

    TLoopLagProbe();
    ~TLoopLagProbe() override;

private:
    void Tick();

    std::FILE* log_ = nullptr;
    QTimer* timer_ = nullptr;
    std::int64_t lastMs_ = 0;
};
