// kestrum-simmodem: a simulated GSM modem with the simulated module behind it,
// on a pseudo-terminal, for trying the modem link without hardware.
#include "sim/SimModem.h"
#include "sim/SimModule.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    if (::write(signalPipe[1], &c, 1) < 0) {
        // nothing more can be done inside a signal handler
    }
}

}   // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kestrum-simmodem");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Simulated GSM modem on a pseudo-terminal, with a simulated module at the far end.");
    parser.addHelpOption();
    const QCommandLineOption passwordOpt("password", "The module's password (default 4826).", "PW");
    const QCommandLineOption dialOpt("dial-result", "What the modem answers to a dial (default \"CONNECT 9600/RLP\").",
                                     "TEXT");
    const QCommandLineOption silentOpt("silent", "The modem answers nothing.");
    parser.addOptions({passwordOpt, dialOpt, silentOpt});
    parser.process(app);

    SimModule module;
    if (parser.isSet(passwordOpt)) module.setPassword(parser.value(passwordOpt).toLatin1());
    SimModem modem(module);
    SimModem::Knobs k = modem.knobs();
    if (parser.isSet(dialOpt)) k.dialResult = parser.value(dialOpt).toLatin1();
    k.silent = parser.isSet(silentOpt);
    modem.setKnobs(k);

    // SIGINT and SIGTERM end the event loop through a pipe (the handler only writes).
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "kestrum-simmodem: cannot create the signal pipe\n");
        return 1;
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (!modem.start()) {
        std::fprintf(stderr, "kestrum-simmodem: cannot create a pseudo-terminal\n");
        return 1;
    }
    std::printf("Simulated GSM modem on %s\n", qPrintable(modem.slavePath()));
    std::fflush(stdout);

    const int rc = app.exec();
    modem.stop();
    return rc;
}
