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
HANDLE stopEvent = nullptr;
// Called on a thread of the console's own: the tool sleeps until something
// happens, and this event is what happens.
BOOL WINAPI onConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;   // closing: the system's way
    interrupted = 1;
    if (stopEvent) SetEvent(stopEvent);
    return TRUE;
}

bool isConsole(DWORD handle) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(handle), &mode) != 0;
}
#endif
}   // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    // Some commands build widgets, never shown. On X11 or Wayland they would
    // need a display, whatever the session names, so they get one of Qt's
    // platforms without: a report, which draws its text into a PDF, the
    // offscreen one with the system's fonts; the others, whose controls only
    // hold values, the minimal one, with no platform theme and no font
    // database (which would load every font configuration file of the
    // system). Windows' own platform needs no display and serves them as it is.
    std::unique_ptr<QCoreApplication> app;
    if (const cli::Widgets widgets = cli::NeedsWidgets(args); widgets != cli::Widgets::None) {
#ifndef _WIN32
        qputenv("QT_QPA_PLATFORM", widgets == cli::Widgets::Drawing ? "offscreen" : "minimal");
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
#ifdef _WIN32
    // Before the C runtime's own handler, which would only set the flag.
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    env.stopEvent = stopEvent;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
#endif
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
