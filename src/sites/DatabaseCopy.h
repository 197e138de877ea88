#pragma once
// Everything of one site database into another (a one-person file to the
// team server, and back): sites by name, modules by serial or phone,
// snapshots by content, events and status visits by their uid. What the
// target has already is left as it is, so a second copy adds nothing.
#include "sites/SiteDatabase.h"

namespace sites {

struct CopyCount {
    int sites = 0, installations = 0, events = 0, statuses = 0;   // added to the target
    int seen = 0;                                                 // rows read from the source
};

// False with to.failure() (or from.failure()) set; what was added before a
// failure stays (each batch is whole), and a second copy goes on from there.
bool copyDatabase(SiteDatabase& from, SiteDatabase& to, CopyCount* count);

}   // namespace sites
