#pragma once
// The Sites page: the sites of the site database with a search box, the
// selected site's module and history, and for a snapshot of the history its
// differences against the one before and against the Settings page, with
// Load, Export and Report; the status seen at the site's visits as plots.
// Above them, the database in use, which the user may change.
//
// The page only reads the database; what it does with a snapshot (loading,
// exporting, reporting) the window does through the hooks below.
#include "sites/SiteDatabase.h"
#include "ui/lang/Messages.h"

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class TrendPlot;

class SitesPage : public QWidget {
    Q_OBJECT
public:
    explicit SitesPage(QWidget* parent = nullptr);

    // The database the page reads, or null (the page says why through
    // unusable); not owned. A team database out of reach names itself in
    // team: the page shows its records still waiting in the offline queue
    // (at queuePath) and says that the rest is unavailable.
    void setDatabase(sites::SiteDatabase* db, const QString& unusable = {}, const QString& team = {});
    QString queuePath;   // empty: the user's own offline queue
    // The database in use as the line above the sites names it.
    void setReference(const QString& text);
    // Use: switches the window to the reference typed; why it did not (the
    // reference is not understood or carries a password), empty when it did.
    std::function<QString(const QString& reference)> useDatabase;

    // The program's messages in the window's language; unset: English.
    std::function<QString(lang::Msg)> message;
    // The values the Settings page shows now, as a Write would send them.
    std::function<sites::Values()> pageValues;
    // The lines that name each setting whose value differs, from -> to; none
    // when they are the same.
    std::function<QStringList(const sites::Values& from, const sites::Values& to)> describe;
    // What the snapshot buttons do with the selected snapshot.
    std::function<void(const sites::Snapshot&)> load, exportTo, report;

    // Reads the sites, the selected site's history and the snapshot again.
    void refresh();
    void retranslate();

    // The selection, for the window and the tests.
    QString selectedSite() const;
    void selectSite(const QString& name);
    QList<sites::HistoryRow> history() const { return history_; }
    void selectEvent(int row);   // newest first
    std::optional<sites::Snapshot> selectedSnapshot() const { return snapshot_; }
    QString differencesText() const;

private:
    QString text(lang::Msg m) const;
    void showSites();
    void showSite();
    void showSnapshot();
    void showPlotTexts();
    void showStatus(const QList<sites::StatusVisit>& visits);
    void showHistory();
    void showDatabaseNote();
    QString actionText(const QString& action) const;
    void addLines(QStringList& out, lang::Msg heading, const std::optional<sites::Values>& from,
                  const sites::Values& to) const;

    sites::SiteDatabase* db_ = nullptr;
    QString unusable_;
    QString team_;
    QLabel* databaseLabel_;
    QLineEdit* database_;
    QPushButton* use_;
    QLabel* databaseNote_;
    QString refused_;   // why the reference typed was not used
    QLineEdit* search_;
    QListWidget* sites_;
    QLabel* state_;   // the database's failure, or the site's module
    QTreeWidget* historyTree_;
    QPlainTextEdit* differences_;
    QPushButton* load_;
    QPushButton* export_;
    QPushButton* report_;
    QLabel* statusCaption_;
    TrendPlot* signal_;
    TrendPlot* supply_;
    TrendPlot* temperature_;
    qint64 plotClock_ = 0;   // the plots' time: one step per visit
    QList<sites::HistoryRow> history_;
    std::optional<sites::Snapshot> snapshot_;
};
