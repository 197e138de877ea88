#pragma once
// kestrum-cli: the window's work without a window, for installers who set up
// many modules from a script. It builds the same main window, never shows it,
// and drives the same code paths (bindings, rules, INI files, exchange).
#include <QStringList>

#include <cstdio>
#include <functional>

class HidBackend;

namespace cli {

enum Exit {
    Ok = 0,
    Failure = 1,          // anything else (an error box of the window)
    Usage = 2,
    NoModule = 3,         // no module found (USB) or the data call failed (modem)
    LoginRefused = 4,
    ParamRefused = 5,     // the module refused a parameter
    NoAnswer = 6,         // the module did not answer for a parameter
    FileError = 7,        // a file that cannot be read or written
    Interrupted = 130,    // stopped by Ctrl+C or SIGTERM
};

struct Env {
    HidBackend* backend = nullptr;         // null: hidapi, or the simulated module with --demo
    FILE* out = stdout;
    FILE* err = stderr;
    bool errIsTerminal = false;            // draw a progress bar on err
    std::function<bool()> stopRequested;   // Ctrl+C or SIGTERM: every wait ends, the command stops
};

// args without the program name, e.g. {"get", "CALL:USER1.PN", "--demo"}.
int Run(const QStringList& args, const Env& env);

}  // namespace cli
