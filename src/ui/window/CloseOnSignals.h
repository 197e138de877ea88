#pragma once
// Ends the program the ordinary way when it is asked to end: SIGTERM, SIGINT
// or SIGHUP closes the window, whose close hangs up every call and stops the
// USB reader, instead of the process dying on the spot. One at a time; one
// that comes after the window has closed ends the application's event loops
// at once. Where the system has no such signals it does nothing.
#include <QObject>

class QSocketNotifier;
class QWidget;

class CloseOnSignals : public QObject {
public:
    explicit CloseOnSignals(QWidget* window);
    ~CloseOnSignals() override;   // the signals' own handling comes back

private:
    QWidget* window_;
    QSocketNotifier* notifier_ = nullptr;
};
