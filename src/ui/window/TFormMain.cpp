#include "ui/window/TFormMain.h"

#include "core/config/ParamTable.h"
#include "core/text/Codec.h"
#include "core/text/Timing.h"
#include "sites/Recorder.h"
#include "ui/dialogs/PwdForm.h"
#include "ui/lang/LangMan.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/EditTracker.h"
#include "ui/pages/LogPage.h"
#include "ui/pages/ModemPage.h"
#include "ui/pages/SettingsPage.h"
#include "ui/pages/SettingsReport.h"
#include "ui/pages/SitesPage.h"
#include "ui/pages/StatusPage.h"
#include "ui/pages/VolumesPage.h"
#include "ui/widgets/ControlTips.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/widgets/FocusFrame.h"
#include "ui/widgets/TabOrder.h"
#include "ui/window/AppIcon.h"
#include "ui/window/TransferButtons.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStyle>
#include <QTabWidget>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

TFormMain::TFormMain(const Options& options)
    : session_(std::make_unique<DeviceSession>(DeviceSession::Options{options.backend, options.defaultPassword})),
      database_(options.database),
      operatorName_(options.operatorName),
      noRecord_(options.noRecord),
      queuePath_(options.queuePath) {
    setObjectName("FormMain");
    // 1. The window and its controls.
    buildWindow();
    // 2.-5. State, binding lists, progress bar maximum.
    settingsBindings_ = settingsPage_->Bindings();
    for (const StatusDef& s : statusParams()) statusBindings_.Add(s.key, control(s.control));
    for (int i = 0; i < statusBindings_.Count(); ++i)
        Q_ASSERT_X(statusBindings_.At(i).control, "bindings", statusBindings_.At(i).key.constData());
    ProgressBarRW->setMaximum(settingsBindings_.Count());
    transfer_ = std::make_unique<ConfigTransfer>(ConfigTransfer::Needs{
        settingsBindings_,
        session_->exchange(),
        [this] { settingsPage_->beginLoad(); },
        [this] { settingsPage_->endLoad(); },
        [this](lang::Msg m) { return langMan_->Message(m); },
    });
    transfer_->closing = [this] { return session_->Closing(); };
    buttons_ = std::make_unique<TransferButtons>(*transfer_, this, ProgressBarRW);
    buttons_->setBusy = [this](bool on, const char* reason) { setBusy(on, reason); };
    buttons_->finished = [this](const QString& note) { showTransferNote(note); };
    buttons_->settled = [this](const char* what, const QString& file) {
        if (qstrcmp(what, "Read") == 0) fileName_.clear();   // the module's values now, not the file's
        if (!file.isEmpty()) {
            fileName_ = file;
            rememberFile(file);
        }
        // Unsaved follows the file: a Write leaves the file's "*" as it was.
        if (qstrcmp(what, "Write") != 0) edits_->settle();
        if (qstrcmp(what, "Read") == 0 || qstrcmp(what, "Write") == 0) {
            moduleWhat_ = what;
            moduleWhen_ = QDateTime::currentDateTime();
            moduleValues_ = shownValues();
        }
        showFile();
        showModule();
    };
    buttons_->mayReplace = [this] { return mayDiscard(); };
    buttons_->showDifferences = [this](const QList<SettingDifference>& differences) {
        QString text = langMan_->Message(lang::Msg::VerifyDiffers);
        for (const SettingDifference& d : differences)
            text += QLatin1Char('\n') + differenceLine(d.key, d.left, d.right);
        if (showDifferences)
            showDifferences(text);
        else
            QMessageBox::warning(this, windowTitle(), text);
    };
    buttons_->notRead = [this](const QList<QByteArray>& keys) { markNotRead(keys); };
    buttons_->recorded = [this](const TransferButtons::Ended& e) {
        recordTransfer(e.action, e.done, e.reason, e.durationMs, e.settings);
    };
    sitesPage_->queuePath = queuePath_;
    sitesPage_->useDatabase = [this](const QString& reference) { return useDatabase(reference); };
    sitesPage_->pageValues = [this] {
        // What a Write would send (the hidden codes filled), while the page
        // keeps what it shows: looking is no change.
        const QList<QByteArray> shown = shownValues();
        const QList<QByteArray> sent = transfer_->Values();
        sites::Values values;
        for (int i = 0; i < sent.size(); ++i) {
            const ControlDesc& d = settingsBindings_.At(i);
            if (sent[i] != shown[i]) SetControlValue(d.control, shown[i]);
            values.append({d.key, sent[i]});
        }
        return values;
    };
    sitesPage_->describe = [this](const sites::Values& from, const sites::Values& to) {
        return differenceLines(from, to);
    };
    sitesPage_->load = [this](const sites::Snapshot& s) { loadSnapshot(s.values); };
    sitesPage_->exportTo = [this](const sites::Snapshot& s) { exportSnapshot(s); };
    sitesPage_->report = [this](const sites::Snapshot& s) {
        if (loadSnapshot(s.values)) printReport();
    };
    edits_ = std::make_unique<EditTracker>(settingsBindings_);
    connect(edits_.get(), &EditTracker::modifiedChanged, this, [this] { showFile(); });
    connect(edits_.get(), &EditTracker::rechecked, this, [this] { showModule(); });
    edits_->describeOld = [this](const QString& old) {
        return langMan_ ? langMan_->Message(lang::Msg::WasValue).arg(old) : QString();
    };
    // The input modes live in hidden edits; their radio groups show them.
    for (const char* in : {"1", "2"})
        edits_->markOn(findChild<QWidget*>(QString("_edIN") + in), findChild<QWidget*>(QString("rgIN") + in));
    volumesPage_->message = [this](lang::Msg m) { return langMan_->Message(m); };
    // Set on the Volumes page is recorded as well, with the failure it showed.
    disconnect(volumesPage_->btSetVols, &QPushButton::clicked, volumesPage_, &VolumesPage::btSetVolsClick);
    connect(volumesPage_->btSetVols, &QPushButton::clicked, this, [this] {
        QElapsedTimer clock;
        clock.start();
        const FailureWatch watch;
        volumesPage_->btSetVolsClick();
        recordTransfer("volumes", watch.text().isEmpty(), watch.text(), clock.elapsed(), 2);
    });
    // After a Read or Write the bar shows its note for a while, then empties.
    noteTimer_.setSingleShot(true);
    connect(&noteTimer_, &QTimer::timeout, this, [this] { showTransferNote(QString()); });
    session_->login().askPassword = [this] { askPassword(); };
    transfer_->passwordRefused = [this] { return session_->standing() == DeviceSession::Standing::PasswordRefused; };
    // 6.-10. The session's news, on the UI thread.
    // The link's changes reach the handler by their fixed names.
    connect(session_.get(), &DeviceSession::linkChanged, this,
            [this](LinkEvent event) { Guarded([&] { UpdateUIState(linkEventName(event)); }); });
    connect(session_.get(), &DeviceSession::statusText, this,
            [this](const QByteArray& text) { Guarded([&] { ReceiveStatusText(text); }); });
    connect(session_.get(), &DeviceSession::logText, logPage_, &LogPage::ReceiveLogText);
    connect(session_.get(), &DeviceSession::dataDropped, logPage_, &LogPage::ShowDropped);
    connect(session_.get(), &DeviceSession::standingChanged, this, [this] { showStanding(); });
    // 11. Languages.
    langMan_ = std::make_unique<LangMan>(this, options.languageStore);
    langMan_->formatTempLabels = [this] { settingsPage_->formatAllTempLabels(); };
    langMan_->languageApplied = [this] {
        modemPage_->retranslate();
        settingsPage_->nameCaptionlessBoxes();
        if (QWidget* about = findChild<QWidget*>("btAbout"))   // "?" says nothing to a screen reader
            about->setAccessibleName(langMan_->Message(lang::Msg::AboutButton));
        statusPage_->redrawWords();
        logPage_->retranslate();
        settingsPage_->recentButton()->setText(langMan_->Message(lang::Msg::RecentFiles));
        settingsPage_->verifyButton()->setText(langMan_->Message(lang::Msg::VerifyButton));
        settingsPage_->reportButton()->setText(langMan_->Message(lang::Msg::ReportButton));
        settingsPage_->saveAsButton()->setText(langMan_->Message(lang::Msg::SaveAsButton));
        for (QWidget* c : std::as_const(notRead_))
            tips::setNote(c, tips::Note::NotRead, langMan_->Message(lang::Msg::NotRead));
        if (lbResult_->isVisibleTo(this)) {   // the last transfer's note, in the new language
            lbResult_->setFullText(buttons_->lastNote());
            lbResult_->setToolTip(lbResult_->fullText());
        }
        showModule();
        showStanding();
        showPending();
        if (PageControl1->indexOf(sitesPage_) == PageSites)
            PageControl1->setTabText(PageSites, langMan_->Message(lang::Msg::SitesTab));
        sitesPage_->retranslate();
        btAddToSite_->setText(langMan_->Message(lang::Msg::AddToSite));
        showSite();
    };
    sitesPage_->message = [this](lang::Msg m) { return langMan_->Message(m); };
    logPage_->message = [this](lang::Msg m) { return langMan_->Message(m); };
    modemPage_->message = [this](lang::Msg m) { return langMan_->Message(m); };
    statusPage_->lookupText = [this](const QByteArray& key) { return langMan_->Text(key); };
    statusPage_->message = [this](lang::Msg m) { return langMan_->Message(m); };
    langMan_->ApplyLanguage(langMan_->StoredLanguage());
    if (QSettings* store = langMan_->store())
        buttons_->setLastFolder(store->value(QLatin1String(kLastFolderKey)).toString());
    showRecentFiles();
    // The site database: the one last chosen on the Sites page, unless the
    // command line or the environment names one.
    if (QSettings* store = langMan_->store(); store && options.savedDatabaseFirst) {
        const QString saved = store->value(QLatin1String(kDatabaseKey)).toString().trimmed();
        if (!saved.isEmpty()) database_ = saved;
    }
    startRecording();
    // 12. The temperature threshold labels.
    settingsPage_->formatAllTempLabels();
    modemPage_->setExtraPorts(options.extraSerialPorts);
    statusPage_->setStale(true);   // nothing heard from a module yet
    showStanding();
    // 13. The volume tool.
    if (options.full) {
        for (int i : {PageSettings, PageStatus, PageModem, PageVolumes}) PageControl1->setTabVisible(i, true);
        PageControl1->addTab(sitesPage_, langMan_->Message(lang::Msg::SitesTab));
        PageControl1->setCurrentIndex(PageSettings);
        setWindowTitle("Brisal Kestrum v1.00");
        resize(824, 676);
        fitScreen();
    } else {
        applyStartupPresentation();
    }
    connect(PageControl1, &QTabWidget::currentChanged, this, &TFormMain::PageControl1Change);
}

TFormMain::~TFormMain() { FormClose(); }

void TFormMain::buildWindow() {
    setFont(QFont("Trebuchet MS", 9, QFont::Bold, true));
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    settingsPage_ = new SettingsPage(PageControl1);
    statusPage_ = new StatusPage(PageControl1);
    logPage_ = new LogPage(PageControl1);
    modemPage_ = new ModemPage(*session_, PageControl1);
    volumesPage_ = new VolumesPage(session_->exchange(), PageControl1);
    PageControl1->addTab(settingsPage_, "Settings");
    PageControl1->addTab(statusPage_, "Status");
    PageControl1->addTab(logPage_, "Log");
    PageControl1->addTab(modemPage_, "Modem");
    PageControl1->addTab(volumesPage_, "Volumes");
    // The Sites page belongs to the whole configurator: a tab only there.
    sitesPage_ = new SitesPage(this);
    sitesPage_->hide();
    PageControl1->setTabVisible(PageLog, false);
    PageControl1->setCurrentIndex(PageVolumes);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(29);
    Panel3 = new QWidget(Panel1);
    Panel3->setObjectName("Panel3");
    ProgressBarRW = new QProgressBar(Panel3);
    ProgressBarRW->setObjectName("ProgressBarRW");
    ProgressBarRW->setValue(0);
    ProgressBarRW->setTextVisible(false);
    auto* p3 = new QHBoxLayout(Panel3);
    p3->setContentsMargins(4, 4, 4, 4);
    p3->addWidget(ProgressBarRW);
    // A finished transfer's note takes the bar's place (the bar is too narrow for it).
    lbResult_ = new ElidedLabel(Panel3);
    lbResult_->setObjectName("lbResult");
    lbResult_->hide();
    p3->addWidget(lbResult_, 1);
    btCancelTransfer_ = new QPushButton(Panel3);
    btCancelTransfer_->setObjectName("btnCancelTransfer");
    btCancelTransfer_->hide();   // while a Read, Write or Verify runs
    connect(btCancelTransfer_, &QPushButton::clicked, this, [this] { transfer_->Cancel(); });
    p3->addWidget(btCancelTransfer_);
    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName("Panel2");
    Panel2->setFixedWidth(76);
    Panel4 = new QWidget(Panel2);
    Panel4->setObjectName("Panel4");
    auto* p4 = new QHBoxLayout(Panel4);
    p4->setContentsMargins(0, 2, 0, 2);
    p4->setSpacing(2);
    auto makeLangButton = [&](const char* name, const char* caption, void (TFormMain::*slot)()) {
        auto* b = new QToolButton(Panel4);
        b->setObjectName(name);
        b->setText(caption);
        b->setAutoRaise(true);
        b->setFixedSize(24, 24);
        connect(b, &QToolButton::clicked, this, slot);
        p4->addWidget(b);
        return b;
    };
    SpeedButtonEN = makeLangButton("SpeedButtonEN", "EN", &TFormMain::SpeedButtonENClick);
    SpeedButtonHU = makeLangButton("SpeedButtonHU", "HU", &TFormMain::SpeedButtonHUClick);
    SpeedButtonRO = makeLangButton("SpeedButtonRO", "RO", &TFormMain::SpeedButtonROClick);
    auto* p2 = new QHBoxLayout(Panel2);
    p2->setContentsMargins(0, 0, 0, 0);
    p2->addWidget(Panel4);
    lbStanding_ = new ElidedLabel(Panel1);
    lbStanding_->setObjectName("lbStanding");
    lbStanding_->setIndent(6);   // clear of the window's edge when the progress bar is hidden
    auto* about = new QToolButton(Panel1);
    about->setObjectName("btAbout");
    about->setText("?");
    about->setAutoRaise(true);
    about->setFixedSize(24, 24);
    connect(about, &QToolButton::clicked, this, &TFormMain::showAbout);
    connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, &TFormMain::showAbout);
    auto* p1 = new QHBoxLayout(Panel1);
    p1->setContentsMargins(0, 0, 0, 0);
    p1->addWidget(Panel3, 1);
    // The standing as a picture as well as in words: ready, a problem, or
    // nothing to work with yet.
    lbStandingIcon_ = new QLabel(Panel1);
    lbStandingIcon_->setObjectName("lbStandingIcon");
    lbStandingIcon_->setContentsMargins(6, 0, 0, 0);
    p1->addWidget(lbStandingIcon_);
    p1->addWidget(lbStanding_, 1);
    btLogIn_ = new QPushButton(Panel1);
    btLogIn_->setObjectName("btLogIn");
    btLogIn_->hide();
    connect(btLogIn_, &QPushButton::clicked, this, &TFormMain::logIn);
    p1->addWidget(btLogIn_);
    lbFile_ = new ElidedLabel(Panel1);
    lbFile_->setObjectName("lbFile");
    lbFile_->hide();   // until a file is named or something changed
    p1->addWidget(lbFile_, 1);
    lbModule_ = new ElidedLabel(Panel1);
    lbModule_->setObjectName("lbModule");
    lbModule_->hide();   // until something was read, written or changed
    p1->addWidget(lbModule_, 1);
    // Records that wait for the team database, seen from every page.
    lbPending_ = new ElidedLabel(Panel1);
    lbPending_->setObjectName("lbPending");
    lbPending_->hide();
    p1->addWidget(lbPending_, 1);
    // The attached module's site, or the offer to add it to one.
    lbSite_ = new ElidedLabel(Panel1);
    lbSite_->setObjectName("lbSite");
    lbSite_->hide();
    p1->addWidget(lbSite_, 1);
    btAddToSite_ = new QPushButton(Panel1);
    btAddToSite_->setObjectName("btAddToSite");
    btAddToSite_->hide();
    connect(btAddToSite_, &QPushButton::clicked, this, &TFormMain::addToSite);
    p1->addWidget(btAddToSite_);
    p1->addWidget(Panel2);
    p1->addWidget(about);
    FocusFrame::install(this);

    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);
    // The volume tool is smaller than the widest page: hidden pages must not hold the window open.
    lay->setSizeConstraint(QLayout::SetNoConstraint);
    lay->addWidget(PageControl1, 1);
    lay->addWidget(Panel1);
    setWindowTitle("Brisal Kestrum v1.00");
    setWindowIcon(kestrumIcon());
    resize(824, 676);

    // Ctrl+Alt+D shows or hides the Log page wherever the focus is inside the window.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_D), QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_D)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &TFormMain::ToggleLogTab);
    auto click = [this](const char* name, std::function<void()> fn) {
        if (auto* b = qobject_cast<QPushButton*>(settingsPage_->control(name)))
            connect(b, &QPushButton::clicked, this, std::move(fn));
    };
    click("btnRead", [this] { buttons_->btnReadClick(); });
    click("btnWrite", [this] { buttons_->btnWriteClick(); });
    click("btnVerify", [this] { buttons_->btnVerifyClick(); });
    click("btnReport", [this] { printReport(); });
    click("btnOpen", [this] { buttons_->btnOpenClick(); });
    click("btnSave", [this] { saveInPlace(); });
    click("btnSaveAs", [this] { saveAs(); });
    // Ctrl+O, Ctrl+S and F5 press Open, Save and Read, wherever the focus is,
    // while the Settings page is offered and the button is on.
    auto shortcut = [this](const QKeySequence& keys, const char* name) {
        auto* s = new QShortcut(keys, this);
        connect(s, &QShortcut::activated, this, [this, name] {
            auto* b = qobject_cast<QPushButton*>(settingsPage_->control(name));
            if (b && b->isEnabled() && PageControl1->isEnabled() && PageControl1->isTabVisible(PageSettings))
                b->click();
        });
    };
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_O), "btnOpen");
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_S), "btnSave");
    shortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), "btnSaveAs");
    shortcut(QKeySequence(Qt::Key_F5), "btnRead");
    settingsPage_->updateUIState = [this](const char* reason) { UpdateUIState(reason); };
    settingsPage_->testReportNow = [this] { session_->exchange().SetParam("EVM:New", "10"); };
}

QWidget* TFormMain::control(const QByteArray& name) const { return findChild<QWidget*>(QString::fromLatin1(name)); }

void TFormMain::applyStartupPresentation() {
    PageControl1->setTabVisible(PageVolumes, true);
    for (int i : {PageSettings, PageStatus, PageModem}) PageControl1->setTabVisible(i, false);
    setWindowTitle("Orvik Device Volumes");
    PageControl1->resize(300, 430);
    resize(300, 480);
    Panel3->hide();
    Panel4->hide();
    Panel2->hide();   // it holds only the language buttons: its width goes to the state text
    // The narrow bar has no room for Log in… beside the state text: the button gets a row of its own.
    if (auto* lay = qobject_cast<QVBoxLayout*>(layout())) lay->insertWidget(lay->indexOf(Panel1), btLogIn_);
    // The three language buttons, compact, in the corner of the row that holds the one page's tab.
    auto* languages = new QWidget(PageControl1);
    languages->setObjectName("VolumeLanguages");
    auto* row = new QHBoxLayout(languages);
    row->setContentsMargins(0, 0, 2, 0);
    row->setSpacing(0);
    const std::pair<const char*, void (TFormMain::*)()> buttons[] = {{"EN", &TFormMain::SpeedButtonENClick},
                                                                     {"HU", &TFormMain::SpeedButtonHUClick},
                                                                     {"RO", &TFormMain::SpeedButtonROClick}};
    for (const auto& [caption, slot] : buttons) {
        auto* b = new QToolButton(languages);
        b->setObjectName(QStringLiteral("VolumeLang") + QLatin1String(caption));
        b->setText(QLatin1String(caption));
        b->setAutoRaise(true);
        b->setFixedSize(24, 20);
        connect(b, &QToolButton::clicked, this, slot);
        row->addWidget(b);
    }
    PageControl1->setCornerWidget(languages, Qt::TopRightCorner);
}

void TFormMain::setBusy(bool on, const char* reason) {
    busy_ = on;
    if (on) {
        // The bar counts the settings done ("43/205"); Cancel stops after the current one.
        noteTimer_.stop();
        lbResult_->hide();
        ProgressBarRW->show();
        ProgressBarRW->setFormat(QStringLiteral("%v/%m"));
        ProgressBarRW->setTextVisible(true);
        btCancelTransfer_->setText(langMan_->Message(lang::Msg::CancelButton));
    }
    btCancelTransfer_->setVisible(on);
    UpdateUIState(reason);
}

void TFormMain::showTransferNote(const QString& note) {
    // No note (a failure, told in a message box, or the note's time is up): the bar is empty again.
    if (note.isEmpty()) {
        noteTimer_.stop();
        lbResult_->setFullText(QString());
        lbResult_->hide();
        ProgressBarRW->setValue(0);
        ProgressBarRW->setTextVisible(false);
        ProgressBarRW->show();
        return;
    }
    ProgressBarRW->hide();
    lbResult_->setFullText(note);
    lbResult_->setToolTip(note);   // whole, should the line be too narrow
    lbResult_->show();
    noteTimer_.start(timing::transferNoteMs);
}

void TFormMain::markNotRead(const QList<QByteArray>& keys) {
    // Every mark of an earlier cut Read goes.
    for (QWidget* c : std::as_const(notRead_)) {
        if (!c) continue;
        tips::setNote(c, tips::Note::NotRead, QString());
        c->setProperty("notRead", false);
    }
    notRead_.clear();
    for (const QByteArray& key : keys) {
        const ControlDesc* d = settingsBindings_.Find(key);
        if (!d || !d->control) continue;
        notRead_ << d->control;
        tips::setNote(d->control, tips::Note::NotRead, langMan_->Message(lang::Msg::NotRead));
        d->control->setProperty("notRead", true);
    }
}

void TFormMain::UpdateUIState(const char* reason) {
    // 1. Is a link up?
    const bool connected = session_->LinkUp();
    // A new module is asked for its password again, however the last one was left.
    if (!connected || qstrcmp(reason, "Attached") == 0) passwordDeclined_ = false;
    // 2. Enabling.
    auto setButtons = [this](bool on) {
        for (const char* name : {"btnRead", "btnWrite", "btnVerify"})
            if (QWidget* w = control(name)) w->setEnabled(on);
        volumesPage_->btSetVols->setEnabled(on);
        volumesPage_->btReadVols->setEnabled(on);
    };
    if (busy_) {
        PageControl1->setEnabled(false);
        setButtons(false);
    } else if (connected) {
        setButtons(true);
        PageControl1->setEnabled(true);
    } else {
        setButtons(false);
        PageControl1->setEnabled(true);
    }
    // 3. Log in when a link has just come up. 4. Remember the link state.
    const bool fresh = connected && !session_->login().loggedIn();
    if (session_->LogInIfNew(connected)) setButtons(true);
    // A module just come up on USB sends its status at once, so the Status
    // page fills without a page change; one gone leaves its values stale.
    if (fresh && session_->UsbReady()) session_->RequestStatus();
    if (!session_->LinkUp()) statusPage_->setStale(true);
    // Each connection records its status once, and shows its module's site.
    if (!connected || qstrcmp(reason, "Attached") == 0) {
        statusHeard_.clear();
        statusRecorded_ = false;
    }
    if (connected != siteLinkUp_ || qstrcmp(reason, "Attached") == 0) {
        siteLinkUp_ = connected;
        // A module connected: a team database out of reach is tried again,
        // and what waits for it is sent when it is reached.
        if (connected && recorder_ && recorder_->isTeam() &&
            (recorder_->pending() > 0 || !recorder_->offlineReason().isEmpty()))
            recorder_->reconnect();
        showSite();
    }
}

QString TFormMain::standingText() const {
    using S = DeviceSession::Standing;
    switch (session_->standing()) {
        case S::CallUp:
            return langMan_->Message(lang::Msg::StandingCallUp).arg(QString::fromLatin1(session_->callNumber()));
        case S::LoggedIn:
            return langMan_->Message(lang::Msg::StandingLoggedIn);
        case S::PasswordRefused:
            return langMan_->Message(lang::Msg::StandingPasswordRefused);
        case S::Connected:
            return langMan_->Message(lang::Msg::StandingConnected);
        case S::NotAccessible:
            return langMan_->Message(lang::Msg::StandingNotAccessible);
        case S::NoModule:
            break;
    }
    return langMan_->Message(lang::Msg::StandingNoModule);
}

// A small screen (1366 x 768 at 125 %) has less room than the design size:
// the window starts no larger than the screen's free area and may be made
// smaller still; the pages scroll.
void TFormMain::fitScreen() {
    setMinimumSize(480, 360);
    if (QScreen* s = screen()) {
        const QSize room = s->availableGeometry().size() - (frameGeometry().size() - geometry().size());
        resize(size().boundedTo(room));
    }
}

QString TFormMain::aboutText() const {
    return langMan_->Message(lang::Msg::AboutText)
        .arg(QStringLiteral(KESTRUM_VERSION), QString::fromLatin1(qVersion()));
}

void TFormMain::showAbout() {
    QMessageBox box(QMessageBox::Information, langMan_->Message(lang::Msg::AboutTitle), aboutText(), QMessageBox::Ok,
                    this);
    box.setIconPixmap(windowIcon().pixmap(64, 64));
    box.exec();
}

void TFormMain::showStanding() {
    if (!langMan_ || session_->Closing()) return;
    lbStanding_->setFullText(standingText());
    using S = DeviceSession::Standing;
    const S standing = session_->standing();
    const char* kind = standing == S::LoggedIn || standing == S::CallUp                 ? "ready"
                       : standing == S::PasswordRefused || standing == S::NotAccessible ? "problem"
                                                                                        : "waiting";
    if (lbStandingIcon_->property("standing").toByteArray() != kind) {
        const QStyle::StandardPixmap picture = qstrcmp(kind, "ready") == 0     ? QStyle::SP_DialogApplyButton
                                               : qstrcmp(kind, "problem") == 0 ? QStyle::SP_MessageBoxWarning
                                                                               : QStyle::SP_MessageBoxInformation;
        const int size = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
        lbStandingIcon_->setPixmap(style()->standardIcon(picture, nullptr, this).pixmap(size, size));
        lbStandingIcon_->setProperty("standing", QByteArray(kind));
    }
    lbStandingIcon_->setAccessibleName(lbStanding_->fullText());
    btLogIn_->setText(langMan_->Message(lang::Msg::LogInButton));
    btLogIn_->setVisible(session_->standing() == DeviceSession::Standing::PasswordRefused);
}

bool TFormMain::askPassword() {
    if (session_->Closing() || passwordDeclined_) return false;
    TPwdForm form(this, session_->login(), [this](const QByteArray& key) { return langMan_->Text(key); });
    form.message = [this](lang::Msg m) { return langMan_->Message(m); };
    const bool accepted = form.exec() == QDialog::Accepted;
    if (!accepted) passwordDeclined_ = true;
    // A password change is recorded as done or refused; no password is.
    if (accepted && !form.rbepw->isChecked())
        recordTransfer("password", session_->login().loggedIn(), QStringLiteral("the module refused the old password"),
                       0, 0);
    return accepted;
}

void TFormMain::logIn() {
    passwordDeclined_ = false;
    session_->LogInAgain();
    UpdateUIState("LogIn");
}

void TFormMain::ReceiveStatusText(const QByteArray& text) {
    statusPage_->setStale(false);
    statusParser_.Feed(text, [this](const QByteArray& key, const QByteArray& value) {
        if (const ControlDesc* d = statusBindings_.Find(key)) {
            SetControlValue(d->control, value);
            statusHeard_.insert(d->control->objectName());
        }
    });
    if (statusHeard_.contains(QStringLiteral("_edGsmSignalValue")) &&
        statusHeard_.contains(QStringLiteral("_edSupplyVoltageValue")))
        recordStatus();
}

void TFormMain::PageControl1Change(int index) {
    // The Tab key follows the page as it is laid out now.
    QMetaObject::invokeMethod(
        this, [this, index] { orderTabsByPosition(PageControl1->widget(index)); }, Qt::QueuedConnection);
    if (session_->UsbReady()) {
        session_->EnableMainLog();
        session_->RequestStatus();
    }
    if (index == PageModem) modemPage_->PortScan();
    if (index == PageStatus && session_->CallUp()) queryModemStatus();
    if (index == PageSites) showSitesDatabase();
}

void TFormMain::queryModemStatus() {
    statusPage_->setStale(false);
    for (const StatusDef& q : modemStatusQueries()) {
        const QByteArray value = ParseAnswerValue(session_->exchange().QueryParam(q.key));
        if (QWidget* c = control(q.control)) SetControlValue(c, value);
    }
    recordStatus();
}

void TFormMain::SpeedButtonENClick() { langMan_->SelectLanguage("en"); }
void TFormMain::SpeedButtonHUClick() { langMan_->SelectLanguage("hu"); }
void TFormMain::SpeedButtonROClick() { langMan_->SelectLanguage("ro"); }

void TFormMain::FormShow() {
    // The serial ports are searched when the Modem page is shown, not here.
    session_->login().setLoggedIn(false);
}

void TFormMain::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (e->spontaneous()) return;   // restored from the task bar: not a new show
    FormShow();
    if (shown_) return;
    shown_ = true;
    QMetaObject::invokeMethod(
        this, [this] { orderTabsByPosition(PageControl1->currentWidget()); }, Qt::QueuedConnection);
    // A module attached before the window existed may have announced itself
    // while nobody could take the hand-off: look at the link once now.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!session_->Closing()) UpdateUIState("Show");
        },
        Qt::QueuedConnection);
}

void TFormMain::FormClose() {
    // A Read, Write or login still waiting inside a handler ends at once;
    // every call is hung up and the USB reader stops.
    session_->Close();
}

void TFormMain::closeEvent(QCloseEvent* e) {
    if (!session_->Closing() && !mayDiscard()) {
        e->ignore();
        return;
    }
    // The window goes at once; the session's end comes after (a call's
    // hang-up goes on on a thread of its own, which the program's end waits for).
    hide();
    FormClose();
    QWidget::closeEvent(e);
    // The program ends with its window: a dialog or message box still open
    // (a password, a question, an error shown without a parent) goes too, so
    // that no window keeps the application's event loop from ending.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && w->isVisible()) w->close();
}

bool TFormMain::mayDiscard() {
    // Only the whole configurator edits settings; the volume tool asks nothing.
    if (!edits_ || !PageControl1->isTabVisible(PageSettings)) return true;
    edits_->recheck();
    if (!edits_->modified()) return true;
    if (confirmDiscard) return confirmDiscard();
    Unsaved answer = Unsaved::Cancel;
    if (askUnsaved) {
        answer = askUnsaved();
    } else {
        std::unique_ptr<QMessageBox> box(makeUnsavedBox(edits_->changedKeys().size()));
        box->exec();
        if (QAbstractButton* clicked = box->clickedButton())
            answer = Unsaved(clicked->property("kestrumAnswer").toInt());
    }
    if (answer == Unsaved::Discard) return true;
    if (answer == Unsaved::Cancel) return false;
    // Save…: goes on only once the file holds what is shown.
    saveInPlace();
    edits_->recheck();
    return !edits_->modified();
}

QMessageBox* TFormMain::makeUnsavedBox(int changed) {
    auto* box =
        new QMessageBox(QMessageBox::Question, windowTitle(),
                        langMan_->Message(lang::Msg::UnsavedQuestion).arg(changed), QMessageBox::NoButton, this);
    auto add = [&](lang::Msg text, QMessageBox::ButtonRole role, Unsaved answer) {
        QPushButton* b = box->addButton(langMan_->Message(text), role);
        b->setProperty("kestrumAnswer", int(answer));
        return b;
    };
    box->setDefaultButton(add(lang::Msg::SaveFirstButton, QMessageBox::AcceptRole, Unsaved::Save));
    add(lang::Msg::DiscardButton, QMessageBox::DestructiveRole, Unsaved::Discard);
    box->setEscapeButton(add(lang::Msg::CancelButton, QMessageBox::RejectRole, Unsaved::Cancel));
    return box;
}

void TFormMain::saveInPlace() {
    if (fileName_.isEmpty())
        buttons_->btnSaveClick();
    else
        buttons_->SaveFile(fileName_, true);   // the file's own name, whatever its suffix
}

void TFormMain::saveAs() { buttons_->btnSaveAsClick(fileName_); }

namespace {
constexpr const char* kRecentFilesKey = "Kestrum/RecentFiles";
}   // namespace

QStringList TFormMain::recentFiles() const {
    QSettings* store = langMan_ ? langMan_->store() : nullptr;
    return store ? store->value(QLatin1String(kRecentFilesKey)).toStringList() : QStringList();
}

void TFormMain::rememberFile(const QString& path) {
    QSettings* store = langMan_->store();
    if (!store) return;
    const QString full = QFileInfo(path).absoluteFilePath();
    QStringList list = recentFiles();
    list.removeAll(full);
    list.prepend(full);
    while (list.size() > kRecentFiles) list.removeLast();
    // Not being able to keep the list costs the user nothing but the list.
    store->setValue(QLatin1String(kRecentFilesKey), list);
    store->setValue(QLatin1String(kLastFolderKey), QFileInfo(full).absolutePath());
    showRecentFiles();
}

void TFormMain::showRecentFiles() {
    QToolButton* button = settingsPage_->recentButton();
    auto* menu = new QMenu(button);
    for (const QString& path : recentFiles()) {
        QAction* a = menu->addAction(QFileInfo(path).fileName());
        a->setToolTip(QDir::toNativeSeparators(path));
        a->setData(path);
        connect(a, &QAction::triggered, this, [this, path] {
            if (mayDiscard()) buttons_->OpenFile(path);
        });
    }
    delete button->menu();
    button->setMenu(menu);
    button->setEnabled(!menu->isEmpty());
}

QString TFormMain::fileText() const {
    QString text = fileName_.isEmpty() ? QString() : QFileInfo(fileName_).fileName();
    if (edits_ && edits_->modified()) text += text.isEmpty() ? QStringLiteral("*") : QStringLiteral(" *");
    return text;
}

QList<QByteArray> TFormMain::shownValues() const {
    QList<QByteArray> values;
    for (int i = 0; i < settingsBindings_.Count(); ++i) values << GetControlValue(settingsBindings_.At(i).control);
    return values;
}

QString TFormMain::moduleText() const {
    if (!edits_ || !langMan_) return QString();
    if (moduleWhat_.isEmpty()) return edits_->modified() ? langMan_->Message(lang::Msg::PageNotWritten) : QString();
    if (shownValues() != moduleValues_) return langMan_->Message(lang::Msg::PageNotWritten);
    return langMan_->Message(moduleWhat_ == "Read" ? lang::Msg::PageRead : lang::Msg::PageWritten)
        .arg(moduleWhen_.toString(QStringLiteral("HH:mm")));
}

void TFormMain::showModule() {
    if (!lbModule_) return;
    lbModule_->setFullText(moduleText());
    lbModule_->setVisible(!lbModule_->fullText().isEmpty());
}

void TFormMain::showFile() {
    lbFile_->setFullText(fileText());
    lbFile_->setToolTip(QDir::toNativeSeparators(fileName_));
    lbFile_->setVisible(!lbFile_->fullText().isEmpty());   // else the state text has the room
}

void TFormMain::ToggleLogTab() { PageControl1->setTabVisible(PageLog, !PageControl1->isTabVisible(PageLog)); }

bool TFormMain::FormKeyDown(QKeyEvent* e) {
    const auto m = e->modifiers();
    if (e->key() == Qt::Key_D && (m & Qt::ControlModifier) && (m & Qt::AltModifier)) {
        ToggleLogTab();
        return true;
    }
    return false;
}

void TFormMain::keyPressEvent(QKeyEvent* e) {
    // Only when the window itself has the focus, not a control that let the key pass.
    QWidget* f = QApplication::focusWidget();
    if (f == nullptr || f == this) {
        if (FormKeyDown(e)) return;
    }
    QWidget::keyPressEvent(e);
}

report::Facts TFormMain::reportFacts() const {
    report::Facts facts;
    facts.when = QDateTime::currentDateTime();
    // Where the values came from, as far as it holds for all of them now.
    edits_->recheck();
    if (!moduleWhat_.isEmpty() && shownValues() == moduleValues_)
        (moduleWhat_ == "Read" ? facts.readAt : facts.writtenAt) = moduleWhen_;
    if (!fileName_.isEmpty() && !edits_->modified()) {
        facts.file = QDir::toNativeSeparators(fileName_);
        facts.fileSaved = QFileInfo(fileName_).lastModified();
    }
    // The module's own values as the Status page last heard them.
    if (session_->LinkUp()) {
        facts.serial = session_->moduleSerial();
        for (const char* name : {"lbViType", "lbViHwVer", "lbViFwVer", "lbStUptime"})
            if (auto* value = findChild<QLabel*>(QString::fromLatin1(name) + "Value"))
                facts.module.append({langMan_->Text(name).remove(QLatin1Char(':')).trimmed(), value->text()});
    }
    return facts;
}

QString TFormMain::reportHtml() const {
    return report::html(
        *settingsPage_, [this](lang::Msg m) { return langMan_->Message(m); }, reportFacts());
}

void TFormMain::printReport() {
    const report::Facts facts = reportFacts();
    const auto message = [this](lang::Msg m) { return langMan_->Message(m); };
    const QString html = report::html(*settingsPage_, message, facts);
    const QString title = report::title(message, facts);
    QTextDocument doc;
    doc.setHtml(html);
    doc.setMetaInformation(QTextDocument::DocumentTitle, title);
    const QString proposed = report::proposedName(fileName_, buttons_->lastFolder(), facts.when.date());
    if (printDocument) {
        printDocument(doc, proposed);
        return;
    }
    QPrinter printer;
    printer.setDocName(title);
#ifndef Q_OS_WIN
    // Qt's own dialog offers the file under this name; Windows' dialog asks
    // the printer, and a PDF printer proposes the document's name.
    printer.setOutputFileName(proposed);
#endif
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() != QDialog::Accepted) return;
    // A PDF file is written by the report itself: whole, or not at all.
    const QString pdf = printer.outputFormat() == QPrinter::PdfFormat ? printer.outputFileName() : QString();
    QString why;
    if (pdf.isEmpty())
        doc.print(&printer);
    else if (!report::writePdf(html, pdf, &why, printer.pageLayout(), title))
        ShowError(langMan_->Message(lang::Msg::ReportSaveFailed).arg(QDir::toNativeSeparators(pdf), why));
}

QString TFormMain::differenceLine(const QByteArray& key, const QByteArray& left, const QByteArray& right) const {
    // An empty value is shown as "" so that it is seen.
    const auto shown = [](const QByteArray& v) { return v.isEmpty() ? QStringLiteral("\"\"") : text::fromCp1250(v); };
    const ControlDesc* c = settingsBindings_.Find(key);
    return QStringLiteral("%1 (%2): %3 -> %4")
        .arg(QString::fromLatin1(key), c ? report::caption(*settingsPage_, c->control) : QString(), shown(left),
             shown(right));
}

QStringList TFormMain::differenceLines(const sites::Values& from, const sites::Values& to) const {
    QHash<QByteArray, QByteArray> before;
    for (const auto& [key, value] : from) before.insert(key, value);
    QStringList lines;
    for (const auto& [key, value] : to)
        if (before.value(key) != value) lines << differenceLine(key, before.value(key), value);
    return lines;
}

// --- The site database -----------------------------------------------------------------

sites::SiteDatabase* TFormMain::siteDatabase() {
    if (!siteDbTried_ && !database_.isEmpty()) {
        siteDbTried_ = true;
        siteDb_ = std::make_unique<sites::SiteDatabase>(sites::SiteDatabase::Options{database_, operatorName_});
        if (!siteDb_->open()) {
            siteDbFailure_ = siteDb_->failure().text;
            siteDb_.reset();
        }
    }
    return siteDb_.get();
}

sites::ModuleFacts TFormMain::moduleFacts() const {
    sites::ModuleFacts facts;
    if (session_->UsbReady()) facts.serial = session_->moduleSerial();
    if (session_->CallUp()) facts.phone = QString::fromLatin1(session_->callNumber());
    const auto shown = [this](const char* name) {
        const auto* value = findChild<QLabel*>(QString::fromLatin1(name));
        return value ? value->text() : QString();
    };
    facts.type = shown("lbViTypeValue");
    facts.hardware = shown("lbViHwVerValue");
    facts.firmware = shown("lbViFwVerValue");
    return facts;
}

void TFormMain::recordTransfer(const char* action, bool done, const QString& reason, qint64 durationMs, int settings) {
    if (!recorder_ || !recorder_->enabled()) return;
    sites::Event e;
    e.action = QString::fromLatin1(action);
    e.done = done;
    e.reason = done ? QString() : reason;
    e.durationMs = durationMs;
    e.settings = settings;
    // The volumes and a password change are no snapshot of the settings.
    const bool all = qstrcmp(action, "volumes") != 0 && qstrcmp(action, "password") != 0;
    if (done && all) e.snapshot = sitesPage_->pageValues();
    // A Write of an opened file, unchanged, sends the file.
    const bool fromFile = qstrcmp(action, "write") == 0 && !fileName_.isEmpty() && !edits_->modified();
    e.source = fromFile ? QStringLiteral("file:") + QFileInfo(fileName_).fileName() : QStringLiteral("module");
    e.link = session_->CallUp() ? QStringLiteral("modem") : session_->UsbReady() ? QStringLiteral("usb") : QString();
    e.module = moduleFacts();
    recorder_->record(e);
}

void TFormMain::recordStatus() {
    if (statusRecorded_ || !recorder_ || !recorder_->enabled() || !session_->LinkUp()) return;
    statusRecorded_ = true;
    const auto shown = [this](const char* edit, const char* label) {
        const auto* e = findChild<QLineEdit*>(QString::fromLatin1(edit));
        if (e && !e->text().isEmpty()) return e->text();
        const auto* l = findChild<QLabel*>(QString::fromLatin1(label));
        return l ? l->text() : QString();
    };
    sites::StatusVisit visit;
    visit.signal = shown("_edGsmSignalValue", "lbGsmSignalValue");
    visit.supply = shown("_edSupplyVoltageValue", "lbSupplyVoltageValue");
    visit.temperature = shown("_edActTempSensorValue", "lbActTempSensorValue");
    visit.firmware = shown("", "lbViFwVerValue");
    visit.uptime = shown("", "lbStUptimeValue");
    recorder_->recordStatus(moduleFacts(), visit);
}

void TFormMain::startRecording() {
    if (database_.isEmpty()) return;
    QString why;
    const std::optional<sites::Reference> ref =
        sites::Reference::parse(database_, sites::SiteDatabase::defaultPath(), &why);
    // The window's own connection to a file first: a new file is made and
    // given its schema here, before the recorder's thread opens it too. A
    // team server migrates under a lock of its own; the window connects to
    // it when it first reads.
    if (!ref || !ref->isTeam()) siteDatabase();
    recorder_ = std::make_unique<sites::Recorder>(
        sites::Recorder::Options{database_, operatorName_, !noRecord_, true, queuePath_});
    // Told on the recorder's thread; shown on the window's.
    connect(
        recorder_.get(), &sites::Recorder::failed, this, [this](const QString& why) { showRecordingFailure(why); },
        Qt::QueuedConnection);
    connect(
        recorder_.get(), &sites::Recorder::pendingChanged, this, [this] { teamNews(); }, Qt::QueuedConnection);
    // What the recorder counted before the connection was made.
    showPending();
    // Never a password: a reference that carries one is not understood.
    sitesPage_->setReference(!ref ? QString() : ref->options.isEmpty() ? ref->display() : database_.trimmed());
}

QString TFormMain::useDatabase(const QString& reference) {
    const QString given = reference.trimmed();
    const QString chosen = given.isEmpty() ? sites::SiteDatabase::defaultPath() : given;
    QString why;
    if (!sites::Reference::parse(chosen, sites::SiteDatabase::defaultPath(), &why)) return why;
    // Everything the old recorder was given is written before it goes.
    sitesPage_->setDatabase(nullptr);
    if (recorder_) recorder_->flush();
    recorder_.reset();
    siteDb_.reset();
    siteDbTried_ = false;
    siteDbFailure_.clear();
    database_ = chosen;
    // Kept for the next start; not being able to keep it costs only that.
    if (QSettings* store = langMan_->store()) {
        if (given.isEmpty())
            store->remove(QLatin1String(kDatabaseKey));
        else
            store->setValue(QLatin1String(kDatabaseKey), given);
    }
    startRecording();
    showSite();
    showSitesDatabase();
    return {};
}

QString TFormMain::pendingText() const { return lbPending_->isVisibleTo(this) ? lbPending_->fullText() : QString(); }

void TFormMain::showPending() {
    if (!langMan_ || !lbPending_) return;
    const int n = recorder_ && recorder_->isTeam() ? recorder_->pending() : 0;
    if (n <= 0) {
        lbPending_->setFullText(QString());
        lbPending_->hide();
        return;
    }
    using lang::Msg;
    lbPending_->setFullText(
        langMan_->Message(lang::counted(n, Msg::RecordsWaitingOne, Msg::RecordsWaitingFew, Msg::RecordsWaitingMany))
            .arg(n));
    const QString why = recorder_->offlineReason().simplified();
    lbPending_->setToolTip(why.isEmpty() ? lbPending_->fullText()
                                         : lbPending_->fullText() + QLatin1Char('\n') +
                                               langMan_->Message(Msg::TeamOutOfReach).arg(why));
    lbPending_->show();
}

void TFormMain::teamNews() {
    if (session_->Closing()) return;
    showPending();
    if (!recorder_ || !recorder_->isTeam()) return;
    const QString why = recorder_->offlineReason();
    bool changed = false;
    if (why.isEmpty() && siteDbTried_ && !siteDb_) {
        // Reached again: the window connects again when it reads.
        siteDbTried_ = false;
        siteDbFailure_.clear();
        changed = true;
    } else if (!why.isEmpty() && siteDb_) {
        // Out of reach: the window's own connection is of no use either; its
        // reads show what waits.
        sitesPage_->setDatabase(nullptr);
        siteDb_.reset();
        siteDbTried_ = true;
        siteDbFailure_ = why;
        changed = true;
    }
    if (changed) showSite();
    if (PageControl1->currentWidget() == sitesPage_) showSitesDatabase();
}

void TFormMain::showSitesDatabase() {
    sites::SiteDatabase* db = siteDatabase();
    QString team;
    if (!db && recorder_ && recorder_->isTeam()) team = recorder_->path();   // its name in the offline queue
    sitesPage_->setDatabase(db, siteDbFailure_, team);
}

void TFormMain::showRecordingFailure(const QString& why) {
    if (session_->Closing()) return;
    // After the note of the transfer it concerns, when that is still shown.
    const QString told = langMan_->Message(lang::Msg::RecordingFailed).arg(why);
    showTransferNote(lbResult_->isVisibleTo(this) && !lbResult_->fullText().isEmpty()
                         ? lbResult_->fullText() + QStringLiteral(" – ") + told
                         : told);
}

QString TFormMain::siteText() const { return lbSite_->isVisibleTo(this) ? lbSite_->fullText() : QString(); }

void TFormMain::showSite() {
    if (!langMan_) return;
    std::optional<sites::Site> site;
    bool offer = false;
    const sites::ModuleFacts facts = session_->LinkUp() ? moduleFacts() : sites::ModuleFacts();
    // Only the whole configurator knows sites.
    sites::SiteDatabase* db = facts.known() && PageControl1->isTabVisible(PageSites) ? siteDatabase() : nullptr;
    if (db) {
        site = db->siteOf(facts);
        offer = !site;
    }
    lbSite_->setFullText(site ? langMan_->Message(lang::Msg::SiteLabel).arg(site->name) : QString());
    lbSite_->setVisible(site.has_value());
    btAddToSite_->setVisible(offer);
}

void TFormMain::addToSite() {
    sites::SiteDatabase* db = siteDatabase();
    const sites::ModuleFacts facts = moduleFacts();
    if (!db || !facts.known()) return;
    QStringList names;
    for (const sites::Site& s : db->sites()) names << s.name;
    QString name;
    if (chooseSite) {
        name = chooseSite(names);
    } else {
        bool ok = false;
        name = QInputDialog::getItem(this, langMan_->Message(lang::Msg::AddToSite).remove(QChar(0x2026)),
                                     langMan_->Message(lang::Msg::AddToSiteQuestion), names, 0, true, &ok);
        if (!ok) name.clear();
    }
    name = name.trimmed();
    if (name.isEmpty()) return;
    sites::Site site;
    site.name = name;
    const bool ok = (names.contains(name) || db->addSite(site)) && db->assign(name, facts);
    if (!ok) ShowError(langMan_->Message(lang::Msg::AddToSiteFailed).arg(name, db->failure().text));
    showSite();
    sitesPage_->refresh();
}

bool TFormMain::loadSnapshot(const sites::Values& values) {
    if (busy_ || !mayDiscard()) return false;
    // As an Open puts a file's values on the page, but they stay changes:
    // neither saved nor written.
    settingsPage_->beginLoad();
    Guarded([&] {
        for (const auto& [key, value] : values)
            if (const ControlDesc* d = settingsBindings_.Find(key)) SetControlValue(d->control, value);
    });
    settingsPage_->endLoad();
    fileName_.clear();   // the snapshot's values, not the file's
    edits_->recheck();
    showFile();
    showModule();
    PageControl1->setCurrentIndex(PageSettings);
    return true;
}

void TFormMain::exportSnapshot(const sites::Snapshot& snapshot) {
    const QString proposed = QDir(buttons_->lastFolder()).filePath(QStringLiteral("snapshot-%1.ini").arg(snapshot.id));
    QString chosen;
    if (buttons_->chooseSaveName) {
        chosen = buttons_->chooseSaveName(proposed);
    } else {
        QFileDialog dialog(this);
        TransferButtons::PrepareSaveDialog(dialog);
        dialog.selectFile(proposed);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().first();
    }
    if (chosen.isEmpty()) return;
    const QString path = ConfigTransfer::SaveName(chosen);
    // The file is written as Save writes the page: the snapshot's values go on
    // the page for that moment, and what it showed comes back.
    const QList<QByteArray> shown = shownValues();
    settingsPage_->beginLoad();
    Guarded([&] {
        for (const auto& [key, value] : snapshot.values)
            if (const ControlDesc* d = settingsBindings_.Find(key)) SetControlValue(d->control, value);
        transfer_->Save(path);
    });
    Guarded([&] {
        for (int i = 0; i < settingsBindings_.Count(); ++i) SetControlValue(settingsBindings_.At(i).control, shown[i]);
    });
    settingsPage_->endLoad();
    edits_->recheck();
}
