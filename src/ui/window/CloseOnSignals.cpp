#include "ui/window/CloseOnSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#include <csignal>

namespace {

// The handler only writes a byte; the window is closed on its own thread.
int wakePipe[2] = {-1, -1};
const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int) {
    const char c = 1;
    if (::write(wakePipe[1], &c, 1) < 0) {
        // the pipe is full: a close is on its way already
    }
}

}   // namespace

CloseOnSignals::CloseOnSignals(QWidget* window) : window_(window) {
    if (wakePipe[0] >= 0 || ::pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
    notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        while (::read(wakePipe[0], buf, sizeof buf) > 0) {}
        // A signal after the window has closed (the program still ending):
        // the event loops end at once.
        if (window_->isVisible())
            window_->close();
        else
            QCoreApplication::exit(0);
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : kSignals) ::sigaction(s, &sa, nullptr);
}

CloseOnSignals::~CloseOnSignals() {
    if (!notifier_) return;
    for (int s : kSignals) ::signal(s, SIG_DFL);
    delete notifier_;
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
    wakePipe[0] = wakePipe[1] = -1;
}

#else

CloseOnSignals::CloseOnSignals(QWidget* window) : window_(window) {}
CloseOnSignals::~CloseOnSignals() = default;

#endif
