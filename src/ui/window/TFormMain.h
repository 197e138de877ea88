#pragma once
// The main window: composes the pages and connects them to the device
// session, which owns everything that talks to the module.
#include "core/protocol/StatusParser.h"
#include "session/DeviceSession.h"
#include "sites/SiteDatabase.h"
#include "ui/pages/SettingsReport.h"
#include "ui/widgets/Bindings.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

#include <memory>

class ConfigTransfer;
class TransferButtons;
class EditTracker;
class QTextDocument;
class ElidedLabel;
class HidBackend;
class LangMan;
class LogPage;
class QLabel;
class QMessageBox;
class ModemPage;
class QProgressBar;
class QPushButton;
class QSettings;
class QTabWidget;
class QToolButton;
class SettingsPage;
class SitesPage;
namespace sites {
class Recorder;
}
class StatusPage;
class VolumesPage;

class TFormMain : public QWidget {
    Q_OBJECT
public:
    struct Options {
        HidBackend* backend = nullptr;                   // null: the real USB device through hidapi
        bool full = false;                               // skip the volume-tool presentation
        QSettings* languageStore = nullptr;              // null: the user's own settings
        QStringList extraSerialPorts;                    // offered by the Modem page besides the scanned ones
        QByteArray defaultPassword = kDefaultPassword;   // the first login on a new link
        QString database;        // the site database file; empty: none (nothing recorded, no sites)
        bool noRecord = false;   // nothing recorded this run; the Sites page still reads the database
        QString operatorName;    // who works, as recorded; empty: the system's user name
        // The database last chosen on the Sites page (kept in the settings)
        // goes before database, when there is one.
        bool savedDatabaseFirst = false;
        QString queuePath;   // the offline queue of a team database; empty: the user's own
    };
    // Where the database chosen on the Sites page is kept.
    static constexpr const char* kDatabaseKey = "Kestrum/Database";
    explicit TFormMain(const Options& options);
    ~TFormMain() override;

    void UpdateUIState(const char* reason);
    void FormShow();
    void FormClose();
    void PageControl1Change(int index);
    void ReceiveStatusText(const QByteArray& text);
    void SpeedButtonENClick();
    void SpeedButtonHUClick();
    void SpeedButtonROClick();
    void ToggleLogTab();

    // Page indexes of PageControl1; the Sites page is there only in the whole configurator.
    enum Page { PageSettings = 0, PageStatus = 1, PageLog = 2, PageModem = 3, PageVolumes = 4, PageSites = 5 };

    DeviceSession& session() { return *session_; }
    ConfigTransfer& transfer() { return *transfer_; }
    TransferButtons& buttons() { return *buttons_; }
    LangMan& langMan() { return *langMan_; }
    QTabWidget* pageControl() const { return PageControl1; }
    SettingsPage* settingsPage() const { return settingsPage_; }
    StatusPage* statusPage() const { return statusPage_; }
    SitesPage* sitesPage() const { return sitesPage_; }
    // Records what is done to the module; null without a site database.
    sites::Recorder* recorder() const { return recorder_.get(); }
    // The site database the window reads (the Sites page, the bottom bar's
    // site), opened at first use; null when there is none or it cannot be used.
    sites::SiteDatabase* siteDatabase();
    // The database in use, as given (a file, sqlite:FILE or postgresql://…).
    QString database() const { return database_; }
    // Use on the Sites page: records into the database named from now on and
    // the Sites page reads it (empty: the default file); the choice is kept
    // for the next start. Why it was not used (the reference is not
    // understood or carries a password); empty when it was.
    QString useDatabase(const QString& reference);
    // The bottom bar's "3 records not yet sent to the team database"; empty
    // when none wait.
    QString pendingText() const;
    // The attached module as the site database knows it: its USB serial or
    // the number called, and what the Status page shows.
    sites::ModuleFacts moduleFacts() const;
    // The bottom bar's "Site: NAME"; empty when the module is at no site (or
    // none is attached).
    QString siteText() const;
    // Add to a site…: installs the attached module at a site picked from
    // the list or typed new.
    void addToSite();
    // Asked by Add to a site… with the names of the sites: the name picked or
    // typed, empty when cancelled. Unset: a dialog.
    std::function<QString(const QStringList& sites)> chooseSite;
    // Puts a snapshot's values on the Settings page, as changes not yet
    // saved or written; false when the user kept what was shown.
    bool loadSnapshot(const sites::Values& values);
    // Writes a snapshot to a settings file the user names (buttons().chooseSaveName
    // when set); the Settings page keeps what it shows.
    void exportSnapshot(const sites::Snapshot& snapshot);
    QString standingText() const;
    QString aboutText() const;   // version and licences, in the window's language
    EditTracker& edits() { return *edits_; }
    QString fileText() const;   // the bottom bar's file name, with "*" while changes are unsaved
    // Whether the page matches the module: "not written to the module" after
    // edits, "read 14:02" or "written 14:02" after a transfer; empty before any.
    QString moduleText() const;
    // Asked before unsaved changes are thrown away (closing, Open, Read):
    // true to go on. Unset: askUnsaved, or else the question box.
    std::function<bool()> confirmDiscard;
    // The same question with its three answers: Save saves (in place when a
    // file is open) and then goes on, Discard goes on, Cancel stays.
    enum class Unsaved { Save, Discard, Cancel };
    std::function<Unsaved()> askUnsaved;
    // The question box itself, for changed settings: Save… is its default
    // button, Escape is Cancel. The caller deletes it.
    QMessageBox* makeUnsavedBox(int changed);
    // Ctrl+S: saves to the open file without a dialog; with no file open,
    // the save dialog. Save as… always asks, the current name filled in.
    void saveInPlace();
    void saveAs();
    // Lists the settings that Verify found different in the module. Unset: a
    // message box.
    std::function<void(const QString& text)> showDifferences;
    // Prints the commissioning report; proposed is the PDF file offered.
    // Unset: the print dialog, which also offers a PDF file.
    std::function<void(QTextDocument& report, const QString& proposed)> printDocument;
    // The commissioning report of what the Settings page shows now, with the
    // module's values when one is connected, and where its values came from.
    report::Facts reportFacts() const;
    QString reportHtml() const;
    void printReport();
    // The settings files opened or saved lately, newest first (at most
    // kRecentFiles), kept beside the language.
    QStringList recentFiles() const;
    static constexpr int kRecentFiles = 6;
    static constexpr const char* kLastFolderKey = "Kestrum/LastFolder";
    void showAbout();
    VolumesPage* volumesPage() const { return volumesPage_; }
    const ControlDescList& settingsBindings() const { return settingsBindings_; }
    const ControlDescList& statusBindings() const { return statusBindings_; }
    // A Read or Write is under way: every page and button is off.
    bool busy() const { return busy_; }
    void setBusy(bool on, const char* reason);

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void buildWindow();
    void applyStartupPresentation();
    bool FormKeyDown(QKeyEvent* e);
    void queryModemStatus();
    QWidget* control(const QByteArray& name) const;
    // Shows the note of a finished Read or Write in the progress bar (nothing
    // after a failure); the bar empties after timing::transferNoteMs.
    void showTransferNote(const QString& note);
    // Marks the settings a cut Read did not read ("not read" as their
    // tooltip, property notRead); the marks of the Read before go.
    void markNotRead(const QList<QByteArray>& keys);
    // The bottom bar's words for where the user stands (no module, not
    // accessible, connected, logged in, call up).
    void showStanding();
    // The password dialog, unless the user cancelled it on this link; false
    // when it was not shown or cancelled.
    bool askPassword();
    // Log in…: the login again, with the dialog.
    void logIn();
    // What the site database keeps of a Read, Write or Verify, and of the
    // Status page's first values at each connection.
    void recordTransfer(const char* action, bool done, const QString& reason, qint64 durationMs, int settings);
    void recordStatus();
    void showRecordingFailure(const QString& why);
    // A new recorder (and, for a file, the window's own connection) for database_.
    void startRecording();
    // The records waiting for the team database, on the bottom bar.
    void showPending();
    // The recorder's count of waiting records changed: the team database was
    // reached again, or went out of reach.
    void teamNews();
    // The Sites page's database: the window's own connection, or what waits
    // for a team database out of reach.
    void showSitesDatabase();
    void showSite();
    // "KEY (caption): old -> new" for each setting whose values differ.
    QString differenceLine(const QByteArray& key, const QByteArray& left, const QByteArray& right) const;
    QStringList differenceLines(const sites::Values& from, const sites::Values& to) const;

    std::unique_ptr<DeviceSession> session_;
    ControlDescList settingsBindings_;
    ControlDescList statusBindings_;
    StatusTextParser statusParser_;
    bool busy_ = false;
    bool shown_ = false;
    QTimer noteTimer_;

    // Controls.
    QTabWidget* PageControl1;
    SettingsPage* settingsPage_;
    StatusPage* statusPage_;
    LogPage* logPage_;
    ModemPage* modemPage_;
    VolumesPage* volumesPage_;
    SitesPage* sitesPage_;
    QWidget* Panel1;
    QWidget* Panel2;
    QWidget* Panel3;
    QWidget* Panel4;
    QProgressBar* ProgressBarRW;
    ElidedLabel* lbResult_;           // the note of the last Read, Write or Verify
    QPushButton* btCancelTransfer_;   // shown while a transfer runs
    QList<QWidget*> notRead_;         // marked "not read" by the last cut Read
    ElidedLabel* lbStanding_;
    QLabel* lbStandingIcon_ = nullptr;   // ready, problem or waiting, beside the words
    QPushButton* btLogIn_;               // shown while the password is refused
    bool passwordDeclined_ = false;      // the dialog was cancelled: not asked again until a new link or Log in…
    ElidedLabel* lbFile_;
    ElidedLabel* lbModule_ = nullptr;
    QByteArray moduleWhat_;   // "Read" or "Write": the last transfer that went through
    QDateTime moduleWhen_;
    QList<QByteArray> moduleValues_;   // what the page showed then
    QList<QByteArray> shownValues() const;
    void showModule();
    QString fileName_;   // the settings file last opened or saved
    QToolButton* SpeedButtonEN;
    QToolButton* SpeedButtonHU;
    QToolButton* SpeedButtonRO;
    std::unique_ptr<LangMan> langMan_;
    std::unique_ptr<ConfigTransfer> transfer_;
    std::unique_ptr<TransferButtons> buttons_;
    std::unique_ptr<EditTracker> edits_;
    // The site database: what is recorded goes through the recorder's own
    // connection; the window reads through its own.
    QString database_;
    QString operatorName_;
    bool noRecord_ = false;
    QString queuePath_;
    ElidedLabel* lbPending_ = nullptr;   // the records waiting for the team database
    std::unique_ptr<sites::Recorder> recorder_;
    std::unique_ptr<sites::SiteDatabase> siteDb_;
    bool siteDbTried_ = false;
    QString siteDbFailure_;
    ElidedLabel* lbSite_ = nullptr;
    QPushButton* btAddToSite_ = nullptr;
    bool siteLinkUp_ = false;       // the link as the bottom bar's site was last shown for
    QSet<QString> statusHeard_;     // the status controls written since the link came up
    bool statusRecorded_ = false;   // this connection's status is recorded
    bool mayDiscard();
    void fitScreen();
    void showFile();
    void rememberFile(const QString& path);
    void showRecentFiles();
};
