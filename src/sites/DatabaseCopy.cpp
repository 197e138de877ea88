#include "sites/DatabaseCopy.h"

namespace sites {
namespace {
constexpr int kBatch = 500;   // records a transaction
}

bool copyDatabase(SiteDatabase& from, SiteDatabase& to, CopyCount* count) {
    *count = {};
    const auto failed = [&](SiteDatabase& db) {
        if (&db == &to) to.endBatch(false);
        return false;
    };
    for (const Site& s : from.sites()) {
        ++count->seen;
        if (to.site(s.name)) continue;
        if (!to.addSite(s)) return false;
        ++count->sites;
    }
    if (from.failure()) return false;
    for (const Installation& in : from.installations()) {
        ++count->seen;
        bool added = false;
        if (!to.addInstallation(in, &added)) return false;
        count->installations += added;
    }
    if (from.failure()) return false;
    qint64 last = 0;
    for (;;) {
        const QList<Event> events = from.events(&last, kBatch);
        if (from.failure()) return false;
        if (events.isEmpty()) break;
        if (!to.beginBatch()) return false;
        for (const Event& e : events) {
            ++count->seen;
            bool added = false;
            if (to.record(e, &added) == 0) return failed(to);
            count->events += added;
        }
        if (!to.endBatch()) return false;
    }
    last = 0;
    for (;;) {
        const QList<SiteDatabase::StatusRow> rows = from.statuses(&last, kBatch);
        if (from.failure()) return false;
        if (rows.isEmpty()) break;
        if (!to.beginBatch()) return false;
        for (const SiteDatabase::StatusRow& r : rows) {
            ++count->seen;
            bool added = false;
            if (!to.recordStatus(r.module, r.visit, &r.site, &added)) return failed(to);
            count->statuses += added;
        }
        if (!to.endBatch()) return false;
    }
    return true;
}

}   // namespace sites
