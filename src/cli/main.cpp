// kestrum-cli: configures Brisal modules from the command line.
#include "cli/Cli.h"

#include <QApplication>

#include <csignal>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t interrupted = 0;
void onSignal(int) { interrupted = 1; }
}  // namespace

int main(int argc, char** argv) {
    // The window behind the commands is never shown: no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    cli::Env env;
    env.errIsTerminal = isatty(STDERR_FILENO) == 1;
    env.stopRequested = [] { return interrupted != 0; };
    return cli::Run(QCoreApplication::arguments().mid(1), env);
}
