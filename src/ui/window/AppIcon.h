#pragma once
// Kestrum's icon, painted: the module's signal bars on a rounded square, the
// same drawing as dist/kestrum.svg (which the desktop uses), so that the
// window needs no image plugin.
#include <QIcon>

QIcon kestrumIcon();
