#pragma once
// The main window: owner of everything long-lived, composition root of the
// pages, and the place where the link's threads hand work to the UI thread.
#include "ui/widgets/Bindings.h"
#include "core/protocol/Session.h"
#include "core/protocol/StatusParser.h"

#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class ConfigTransfer;
class ConnHIDCOM;
class Connection;
class HidBackend;
class LangMan;
class LogPage;
class ModemPage;
class QProgressBar;
class QSettings;
class QTabWidget;
class QToolButton;
class ResponseConnection;
class SettingsPage;
class Slot;
class StatusPage;
class TModem;
class VolumesPage;
class ChangeStateEvent;

class TFormMain : public QWidget {
    Q_OBJECT
public:
    struct Options {
        HidBackend* backend = nullptr;      // null: the real USB device through hidapi
        bool full = false;                  // skip the volume-tool presentation
        QSettings* languageStore = nullptr; // null: the user's own settings
        QStringList extraSerialPorts;       // offered by the Modem page besides the scanned ones
        QByteArray defaultPassword = kDefaultPassword;   // the first login on a new link
    };
    explicit TFormMain(const Options& options);
    ~TFormMain() override;

    // Hands fn to the UI thread and waits up to 100 ms for the UI thread to
    // take it. 0 when the window is closing or the UI thread did not take it
    // in time (then fn never runs); non-zero when it was taken and runs there.
    int CallInMainThread(std::function<void()> fn);

    void UpdateUIState(const char* reason);
    bool LinkUp() const;   // the USB module ready, or a data call up
    void FormShow();
    void FormClose();
    void PageControl1Change(int index);
    void ReceiveStatusText(const QByteArray& text);
    void SpeedButtonENClick();
    void SpeedButtonHUClick();
    void SpeedButtonROClick();

    // Page indexes of PageControl1.
    enum Page { PageSettings = 0, PageStatus = 1, PageLog = 2, PageModem = 3, PageVolumes = 4 };

    // Window state.
    ControlDescList settingsBindings;
    ControlDescList statusBindings;
    Session session;                       // exchange state, password, logged-in flag, bulk operator
    std::unique_ptr<ConnHIDCOM> usb;
    Slot* commandSlot = nullptr;
    Slot* statusSlot = nullptr;
    Slot* logSlot = nullptr;
    Connection* modemConnection = nullptr; // what the newest Connect returned
    TModem* modem = nullptr;               // the newest modem
    std::unique_ptr<ResponseConnection> modemResponder;
    bool busy = false;
    std::atomic<bool> closing{false};
    StatusTextParser statusParser;
    QByteArray defaultPassword;

    // Controls.
    QTabWidget* PageControl1;
    SettingsPage* settingsPage;
    StatusPage* statusPage;
    LogPage* logPage;
    ModemPage* modemPage;
    VolumesPage* volumesPage;
    QWidget* Panel1;
    QWidget* Panel2;
    QWidget* Panel3;
    QWidget* Panel4;
    QProgressBar* ProgressBarRW;
    QToolButton* SpeedButtonEN;
    QToolButton* SpeedButtonHU;
    QToolButton* SpeedButtonRO;
    std::unique_ptr<LangMan> langMan;
    std::unique_ptr<ConfigTransfer> transfer;

    // Helpers for the pages.
    QWidget* control(const QByteArray& name) const;
    void setBusy(bool on, const char* reason);
    // Shows the note of a finished Read or Write in the progress bar (nothing
    // after a failure); the bar empties after timing::transferNoteMs.
    void showTransferNote(const QString& note);
    void ToggleLogTab();

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void buildWindow();
    void buildBindings();
    void wireConnection(HidBackend* backend);
    void applyStartupPresentation();
    bool FormKeyDown(QKeyEvent* e);
    void queryModemStatus();

    std::vector<std::unique_ptr<ResponseConnection>> responders_;
    std::unique_ptr<ChangeStateEvent> stateEvent_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<std::unique_ptr<TModem>> modems_;
    std::vector<std::unique_ptr<ResponseConnection>> retiredResponders_;   // kept: a modem may still deliver to them
    bool shown_ = false;
    bool loggingIn_ = false;   // step 3 of UpdateUIState is under way
    QTimer noteTimer_;
    friend class ModemPage;
};
