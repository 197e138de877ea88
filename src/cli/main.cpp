// kestrum-cli: configures Brisal modules from the command line.
#include "cli/Cli.h"

#include <QApplication>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif
#include <csignal>
#include <memory>

namespace {
volatile std::sig_atomic_t interrupted = 0;
#ifndef _WIN32
int wakePipe[2] = {-1, -1};
#endif
void onSignal(int) {
    interrupted = 1;
#ifndef _WIN32
    // The tool sleeps until something happens: this byte is what happens.
    if (wakePipe[1] >= 0 && ::write(wakePipe[1], "", 1) < 0) {
        // full: the tool is being woken already
    }
#endif
}

#ifdef _WIN32
bool isConsole(DWORD handle) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(handle), &mode) != 0;
}
#endif
}   // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    // Only read and write build widgets, never shown. On X11 or Wayland they
    // would need a display, so they go offscreen; Windows' own platform needs
    // none and serves them as it is.
    std::unique_ptr<QCoreApplication> app;
    if (cli::NeedsWidgets(args)) {
#ifndef _WIN32
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    // The site database's default file is the window's: the same folder.
    QCoreApplication::setApplicationName("Kestrum");
    QCoreApplication::setOrganizationName("Orvik");
    cli::Env env;
#ifndef _WIN32
    if (::pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) == 0) env.stopFd = wakePipe[0];
#endif
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#ifndef _WIN32
    // A file-size limit fails the write that passes it ("File too large"),
    // which leaves the old file as it was, instead of killing the tool.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef _WIN32
    // A console, not the NUL device that _isatty also counts.
    env.errIsTerminal = isConsole(STD_ERROR_HANDLE);
#else
    env.errIsTerminal = isatty(STDERR_FILENO) == 1;
#endif
    env.stopRequested = [] { return interrupted != 0; };
    return cli::Run(QCoreApplication::arguments().mid(1), env);
}
