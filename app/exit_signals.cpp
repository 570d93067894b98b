// The exit signals routed into the event loop through a pipe (the handler may do nothing else
// safely) and a socket notifier on its reading end.
#include "app/exit_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>

namespace zrq {
namespace {

constexpr int kExitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe's two ends, set once by catchExitSignals before any handler can run.
int gReadEnd = -1;
int gWriteEnd = -1;

// Runs inside the signal, on whichever thread the kernel picked: only async-signal-safe calls.
void noteSignal(int signal) {
    const int savedErrno = errno;
    const auto number = static_cast<unsigned char>(signal);
    // The pipe does not block: when it is full, a signal is already waiting there.
    [[maybe_unused]] const ssize_t written = ::write(gWriteEnd, &number, 1);
    errno = savedErrno;
}

}  // namespace

void catchExitSignals() {
    if (gReadEnd >= 0) return;
    int ends[2];
    // Without the pipe the signals keep their default action, which still ends the program.
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
    gReadEnd = ends[0];
    gWriteEnd = ends[1];
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // calls that can be restarted are, on every thread
    for (int signal : kExitSignals) ::sigaction(signal, &action, nullptr);
}

ExitSignalNotifier::ExitSignalNotifier(QObject* parent) : QObject(parent) {
    if (gReadEnd < 0) return;
    // A signal noted before this exists is still in the pipe and is read at the first turn.
    notifier_ = new QSocketNotifier(gReadEnd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ExitSignalNotifier::readSignals);
}

void ExitSignalNotifier::onSignal(std::function<void()> shutdown) {
    shutdown_ = std::move(shutdown);
    // Ending the loops before the main one runs does not stop that one from starting: the
    // shutdown is queued for its first turn.
    if (signalledEarly_ && shutdown_) QTimer::singleShot(0, this, [this] { shutdown_(); });
}

void ExitSignalNotifier::readSignals() {
    unsigned char numbers[16];
    while (::read(gReadEnd, numbers, sizeof numbers) > 0) {
    }
    if (shutdown_) {
        shutdown_();
        return;
    }
    // No window to close yet: every loop running now (a box of the start-up, the second copy's
    // warning) returns, and later ones return at once. quit() would do nothing here, as the main
    // loop has not started.
    signalledEarly_ = true;
    QCoreApplication::exit(0);
}

}  // namespace zrq
