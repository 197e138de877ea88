#pragma once
// kestrum-cli: the window's work without a window, for installers who set up
// many modules from a script. It runs on the same device session as the
// window, and read and write go through the Settings page's controls and
// rules and the window's transfer code, so files and writes are identical.
#include <QStringList>

#include <cstdio>
#include <functional>

class HidBackend;

namespace cli {

enum Exit {
    Ok = 0,
    Failure = 1,   // anything else (an error box of the window)
    Usage = 2,
    NoModule = 3,   // no module found (USB) or the data call failed (modem)
    LoginRefused = 4,
    ParamRefused = 5,        // the module refused a parameter
    NoAnswer = 6,            // the module did not answer for a parameter
    FileError = 7,           // a file that cannot be read or written
    Mismatch = 8,            // write --verify: the module holds other values than were sent
    UnknownSite = 9,         // no site of that name in the site database
    UnknownReference = 10,   // no snapshot behind an @ reference
    DatabaseUnusable = 11,   // a command that needs the site database cannot use it
    DatabaseOld = 12,        // db check: its schema is older than this program's
    Interrupted = 130,       // stopped by Ctrl+C or SIGTERM
};

struct Env {
    HidBackend* backend = nullptr;   // null: hidapi, or the simulated module with --demo
    FILE* out = stdout;
    FILE* err = stderr;
    bool errIsTerminal = false;            // draw a progress bar on err
    std::function<bool()> stopRequested;   // Ctrl+C or SIGTERM: every wait ends, the command stops
    // Where the system has them: a descriptor that becomes readable on Ctrl+C
    // or SIGTERM (a self-pipe), so the tool wakes at once instead of looking
    // at stopRequested on a timer.
    int stopFd = -1;
    // Windows' counterpart: an event (a HANDLE) set on Ctrl+C or Ctrl+Break.
    void* stopEvent = nullptr;
};

// args without the program name, e.g. {"get", "CALL:USER1.PN", "--demo"}.
// Needs a QApplication unless NeedsWidgets(args) says None, when a
// QCoreApplication will do.
int Run(const QStringList& args, const Env& env);
// read, write, diff, report, export, restore and import build the Settings
// page (hidden); report also draws text (its PDF), which needs the system's
// fonts. The other commands need no widgets.
enum class Widgets { None, Hidden, Drawing };
Widgets NeedsWidgets(const QStringList& args);

}   // namespace cli
