#include "ui/pages/SitesPage.h"

#include "sites/OfflineQueue.h"
#include "ui/widgets/TrendPlot.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
constexpr int kHistoryRows = 500;   // the newest events of a site
constexpr int kVisits = 50;         // the visits the plots draw
}   // namespace

SitesPage::SitesPage(QWidget* parent) : QWidget(parent) {
    setObjectName("tsSites");
    // The database in use, above everything it shows.
    databaseLabel_ = new QLabel(this);
    databaseLabel_->setObjectName("lbDatabase");
    database_ = new QLineEdit(this);
    database_->setObjectName("edDatabase");
    databaseLabel_->setBuddy(database_);
    use_ = new QPushButton(this);
    use_->setObjectName("btnDatabase");
    databaseNote_ = new QLabel(this);
    databaseNote_->setObjectName("lbDatabaseNote");
    databaseNote_->setWordWrap(true);
    auto* source = new QHBoxLayout;
    source->addWidget(databaseLabel_);
    source->addWidget(database_, 1);
    source->addWidget(use_);

    search_ = new QLineEdit(this);
    search_->setObjectName("edSitesSearch");
    search_->setClearButtonEnabled(true);
    sites_ = new QListWidget(this);
    sites_->setObjectName("lbxSites");
    auto* left = new QVBoxLayout;
    left->addWidget(search_);
    left->addWidget(sites_, 1);

    state_ = new QLabel(this);
    state_->setObjectName("lbSiteModule");
    state_->setWordWrap(true);
    historyTree_ = new QTreeWidget(this);
    historyTree_->setObjectName("tvSiteHistory");
    historyTree_->setColumnCount(4);
    historyTree_->setRootIsDecorated(false);
    historyTree_->setUniformRowHeights(true);   // thousands of events without a pause
    historyTree_->header()->setStretchLastSection(false);
    historyTree_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    differences_ = new QPlainTextEdit(this);
    differences_->setObjectName("edSnapshotDifferences");
    differences_->setReadOnly(true);
    load_ = new QPushButton(this);
    load_->setObjectName("btSnapshotLoad");
    export_ = new QPushButton(this);
    export_->setObjectName("btSnapshotExport");
    report_ = new QPushButton(this);
    report_->setObjectName("btSnapshotReport");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(load_);
    buttons->addWidget(export_);
    buttons->addWidget(report_);
    buttons->addStretch(1);

    statusCaption_ = new QLabel(this);
    statusCaption_->setObjectName("lbSiteStatus");
    auto plot = [this](const char* name, const TrendPlot::Format& f) {
        auto* p = new TrendPlot(this);
        p->setObjectName(name);
        p->setFormat(f);
        p->now = [this] { return plotClock_; };
        return p;
    };
    signal_ = plot("plSiteSignal", {1, 0, QString(), 5});
    supply_ = plot("plSiteSupply", {0.001, 1, QStringLiteral(" V"), 1.0});
    temperature_ = plot("plSiteTemperature", {1, 0, QString(" ") + QChar(0x00B0) + "C", 5});
    auto* plots = new QHBoxLayout;
    for (TrendPlot* p : {signal_, supply_, temperature_}) plots->addWidget(p);

    auto* right = new QVBoxLayout;
    right->addWidget(state_);
    right->addWidget(historyTree_, 3);
    right->addWidget(differences_, 2);
    right->addLayout(buttons);
    right->addWidget(statusCaption_);
    right->addLayout(plots);
    auto* body = new QHBoxLayout;
    body->addLayout(left, 1);
    body->addLayout(right, 3);
    auto* lay = new QVBoxLayout(this);
    lay->addLayout(source);
    lay->addWidget(databaseNote_);
    lay->addLayout(body, 1);

    connect(use_, &QPushButton::clicked, this, [this] {
        refused_ = useDatabase ? useDatabase(database_->text()) : QString();
        showDatabaseNote();
    });
    connect(database_, &QLineEdit::returnPressed, use_, &QPushButton::click);
    connect(database_, &QLineEdit::textEdited, this, [this] {
        refused_.clear();
        showDatabaseNote();
    });
    connect(search_, &QLineEdit::textChanged, this, [this] { showSites(); });
    connect(sites_, &QListWidget::currentRowChanged, this, [this] { showSite(); });
    connect(historyTree_, &QTreeWidget::currentItemChanged, this, [this] { showSnapshot(); });
    connect(load_, &QPushButton::clicked, this, [this] {
        if (snapshot_ && load) load(*snapshot_);
    });
    connect(export_, &QPushButton::clicked, this, [this] {
        if (snapshot_ && exportTo) exportTo(*snapshot_);
    });
    connect(report_, &QPushButton::clicked, this, [this] {
        if (snapshot_ && report) report(*snapshot_);
    });
    retranslate();
    showSnapshot();
}

QString SitesPage::text(lang::Msg m) const { return message ? message(m) : lang::message(lang::Language::English, m); }

void SitesPage::setDatabase(sites::SiteDatabase* db, const QString& unusable, const QString& team) {
    db_ = db;
    unusable_ = unusable;
    team_ = db ? QString() : team;
    refresh();
}

void SitesPage::setReference(const QString& text) {
    database_->setText(text);
    database_->setCursorPosition(0);   // the start of a long path or reference shows
    refused_.clear();
    showDatabaseNote();
}

void SitesPage::showDatabaseNote() {
    databaseNote_->setText(refused_.isEmpty() ? text(lang::Msg::DatabaseNote)
                                              : text(lang::Msg::DatabaseRefused).arg(refused_));
}

void SitesPage::retranslate() {
    databaseLabel_->setText(text(lang::Msg::DatabaseLabel));
    use_->setText(text(lang::Msg::DatabaseUse));
    showDatabaseNote();
    search_->setPlaceholderText(text(lang::Msg::SitesSearch));
    historyTree_->setHeaderLabels({text(lang::Msg::HistoryDate), text(lang::Msg::HistoryAction),
                                   text(lang::Msg::HistoryResult), text(lang::Msg::HistoryOperator)});
    load_->setText(text(lang::Msg::SnapshotLoad));
    export_->setText(text(lang::Msg::SnapshotExport));
    report_->setText(text(lang::Msg::SnapshotReport));
    statusCaption_->setText(text(lang::Msg::SitesStatus));
    showPlotTexts();
    if (db_)
        showSite();
    else
        refresh();
}

void SitesPage::showPlotTexts() {
    TrendPlot::Texts t;
    t.lastUpdate = text(lang::Msg::PlotLastUpdate);
    t.max = text(lang::Msg::PlotMax);
    t.min = text(lang::Msg::PlotMin);
    for (TrendPlot* p : {signal_, supply_, temperature_}) {
        t.window = text(lang::Msg::PlotVisits).arg(p->sampleCount());
        p->setTexts(t);
    }
}

void SitesPage::refresh() {
    if (!db_) {
        sites_->clear();
        if (!team_.isEmpty())
            state_->setText(text(lang::Msg::TeamOutOfReachShown).arg(unusable_.simplified()));   // one line of libpq's
        else
            state_->setText(unusable_.isEmpty() ? QString() : text(lang::Msg::SitesUnusable).arg(unusable_));
        // Out of reach, the team database's history is what still waits to be sent.
        history_ = team_.isEmpty() ? QList<sites::HistoryRow>()
                                   : sites::OfflineQueue(queuePath).history(team_, {}, {}, kHistoryRows);
        showHistory();
        showStatus({});
        showSnapshot();
        return;
    }
    showSites();
}

QString SitesPage::selectedSite() const {
    const QListWidgetItem* item = sites_->currentItem();
    return item ? item->text() : QString();
}

void SitesPage::selectSite(const QString& name) {
    const QList<QListWidgetItem*> found = sites_->findItems(name, Qt::MatchExactly);
    if (!found.isEmpty()) sites_->setCurrentItem(found.first());
}

void SitesPage::selectEvent(int row) { historyTree_->setCurrentItem(historyTree_->topLevelItem(row)); }

void SitesPage::showSites() {
    if (!db_) return;
    const QString selected = selectedSite();
    const QSignalBlocker quiet(sites_);
    sites_->clear();
    for (const sites::Site& s : db_->sites(search_->text().trimmed())) {
        auto* item = new QListWidgetItem(s.name, sites_);
        QStringList tip;
        for (const QString& part : {s.customer, s.address, s.serial, s.phone})
            if (!part.isEmpty()) tip << part;
        item->setToolTip(tip.join(QLatin1Char('\n')));
    }
    const QList<QListWidgetItem*> again = sites_->findItems(selected, Qt::MatchExactly);
    sites_->setCurrentItem(again.isEmpty() ? sites_->item(0) : again.first());
    showSite();
}

QString SitesPage::actionText(const QString& action) const {
    if (action == QLatin1String("read")) return text(lang::Msg::ActionRead);
    if (action == QLatin1String("write")) return text(lang::Msg::ActionWrite);
    if (action == QLatin1String("verify")) return text(lang::Msg::ActionVerify);
    if (action == QLatin1String("volumes")) return text(lang::Msg::ActionVolumes);
    if (action == QLatin1String("diff")) return text(lang::Msg::ActionDiff);
    if (action == QLatin1String("restore")) return text(lang::Msg::ActionRestore);
    if (action == QLatin1String("import")) return text(lang::Msg::ActionImport);
    if (action == QLatin1String("password")) return text(lang::Msg::ActionPassword);
    return action;
}

void SitesPage::showSite() {
    const QString name = selectedSite();
    const qint64 selectedEvent =
        historyTree_->currentItem() ? historyTree_->currentItem()->data(0, Qt::UserRole).toLongLong() : 0;
    const QSignalBlocker quiet(historyTree_);
    historyTree_->clear();
    history_.clear();
    std::optional<sites::Site> site = db_ && !name.isEmpty() ? db_->site(name) : std::nullopt;
    if (!site) {
        state_->setText(QString());
        showStatus({});
        showSnapshot();
        return;
    }
    QStringList module;
    for (const QString& part : {site->serial, site->phone})
        if (!part.isEmpty()) module << part;
    state_->setText(module.isEmpty() ? text(lang::Msg::SiteNoModule)
                                     : text(lang::Msg::SiteModule).arg(module.join(QStringLiteral(", "))));
    history_ = db_->history(name, QString(), kHistoryRows);
    showHistory();
    for (int i = 0; i < historyTree_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = historyTree_->topLevelItem(i);
        if (item->data(0, Qt::UserRole).toLongLong() == selectedEvent) historyTree_->setCurrentItem(item);
    }
    showStatus(db_->statusHistory(name, kVisits));
    showSnapshot();
}

void SitesPage::showHistory() {
    const QSignalBlocker quiet(historyTree_);
    historyTree_->clear();
    QList<QTreeWidgetItem*> rows;
    for (const sites::HistoryRow& r : std::as_const(history_)) {
        auto* item = new QTreeWidgetItem(
            {r.at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")), actionText(r.action),
             r.done ? text(lang::Msg::HistoryDone) : text(lang::Msg::HistoryFailed).arg(r.reason), r.operatorName});
        item->setData(0, Qt::UserRole, r.id);
        item->setToolTip(2, item->text(2));
        rows << item;
    }
    historyTree_->addTopLevelItems(rows);
}

void SitesPage::addLines(QStringList& out, lang::Msg heading, const std::optional<sites::Values>& from,
                         const sites::Values& to) const {
    out << text(heading);
    if (!from) {
        out << QStringLiteral("  ") + text(lang::Msg::SnapshotNoPrevious);
        return;
    }
    const QStringList lines = describe ? describe(*from, to) : QStringList();
    if (lines.isEmpty()) out << QStringLiteral("  ") + text(lang::Msg::SnapshotSame);
    for (const QString& line : lines) out << QStringLiteral("  ") + line;
}

void SitesPage::showSnapshot() {
    snapshot_.reset();
    QTreeWidgetItem* item = historyTree_->currentItem();
    const int row = item ? historyTree_->indexOfTopLevelItem(item) : -1;
    if (db_ && row >= 0 && row < history_.size() && history_[row].snapshotId > 0)
        snapshot_ = db_->snapshot(history_[row].snapshotId);
    for (QPushButton* b : {load_, export_, report_}) b->setEnabled(snapshot_.has_value());
    if (!snapshot_) {
        differences_->clear();
        return;
    }
    QStringList out;
    std::optional<sites::Values> previous;
    if (const std::optional<sites::Snapshot> p = db_->previousSnapshot(snapshot_->id)) previous = p->values;
    addLines(out, lang::Msg::SnapshotAgainstPrevious, previous, snapshot_->values);
    if (pageValues) addLines(out, lang::Msg::SnapshotAgainstPage, snapshot_->values, pageValues());
    differences_->setPlainText(out.join(QLatin1Char('\n')));
}

QString SitesPage::differencesText() const { return differences_->toPlainText(); }

void SitesPage::showStatus(const QList<sites::StatusVisit>& visits) {
    for (TrendPlot* p : {signal_, supply_, temperature_}) p->clear();
    // One step of the plots' clock per visit, oldest on the left, so that the
    // whole span holds them all.
    const qint64 step = visits.isEmpty() ? 1 : TrendPlot::kSpanMs / (visits.size() + 1);
    plotClock_ = 0;
    for (int i = int(visits.size()) - 1; i >= 0; --i) {
        const sites::StatusVisit& v = visits[i];
        plotClock_ += step;
        const QDateTime when = v.at.toLocalTime();
        bool ok = false;
        for (auto [plot, value] :
             {std::pair{signal_, v.signal}, std::pair{supply_, v.supply}, std::pair{temperature_, v.temperature}}) {
            plot->wallClock = [when] { return when; };
            const double number = value.toDouble(&ok);
            if (ok) plot->addSample(number);
        }
    }
    showPlotTexts();
}
