// SIGTERM, SIGINT and SIGHUP end the program the way its exit entry does: a handler only notes
// the signal in a pipe, and the event loop reads the pipe and runs the program's own shutdown.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace zrq {

// Catches the three signals from now on, so that none of them kills the process. Call it first
// in main, before any thread starts; the handler may run on any thread, as it only writes one
// byte to a pipe. Programs started later get the default actions back (exec resets caught
// signals).
void catchExitSignals();

// Reads the signals noted since catchExitSignals on the user-interface thread. Until a shutdown
// is given, a signal ends every event loop (a box open at start-up returns at once), and the
// shutdown given later runs as soon as the main loop turns.
class ExitSignalNotifier final : public QObject {
    Q_OBJECT
public:
    explicit ExitSignalNotifier(QObject* parent = nullptr);

    // What a signal runs from now on: the program's shutdown (closing the bar).
    void onSignal(std::function<void()> shutdown);

private:
    void readSignals();

    QSocketNotifier* notifier_ = nullptr;
    std::function<void()> shutdown_;
    bool signalledEarly_ = false;  // a signal came before the shutdown was given
};

}  // namespace zrq
