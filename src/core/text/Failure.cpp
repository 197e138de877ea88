#include "core/text/Failure.h"

#include <cerrno>
#include <cstring>

Failure Failure::fromErrno(int error) {
    Kind kind = Kind::Io;
    switch (error) {
        case 0:
            return {};
        case ENOENT:
            kind = Kind::NotFound;
            break;
        case EACCES:
        case EPERM:
            kind = Kind::NoAccess;
            break;
        case EBUSY:
#ifdef EWOULDBLOCK
        case EWOULDBLOCK:   // a lock another process holds
#endif
            kind = Kind::Busy;
            break;
        case ENODEV:
        case ENXIO:
            kind = Kind::Gone;
            break;
        case ETIMEDOUT:
            kind = Kind::TimedOut;
            break;
        default:
            break;
    }
    return {kind, QString::fromLocal8Bit(std::strerror(error))};
}
