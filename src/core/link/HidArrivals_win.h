#pragma once
// USB arrivals on Windows: the configuration manager tells each HID
// interface that appears (CM_Register_Notification, Windows 8 and later).
// Its calls are looked up in cfgmgr32.dll when first needed, so the program
// still starts where they are missing; the link then searches on its short
// interval instead.
#include "core/link/HidBackend.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cfgmgr32.h>   // after windows.h, whose types it uses

#include <functional>
#include <memory>
#include <string>

// The two calls of the configuration manager that the watch makes; null
// where the system lacks them.
struct CmNotifyCalls {
    CONFIGRET(WINAPI* registerNotification)
    (PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION handle) = nullptr;
    CONFIGRET(WINAPI* unregisterNotification)(HCMNOTIFICATION handle) = nullptr;
};

// cfgmgr32.dll's, looked up once.
const CmNotifyCalls& systemCmNotifyCalls();

// Calls arrived, on a thread of the system's, whenever a HID interface
// appears, until the watch is destroyed (which waits for a call under way).
// Null when the calls are missing or the registration is refused; *why then
// says which, e.g. "cfgmgr32.dll has no CM_Register_Notification".
std::unique_ptr<ArrivalWatch> watchHidInterfaces(std::function<void()> arrived,
                                                 const CmNotifyCalls& calls = systemCmNotifyCalls(),
                                                 std::string* why = nullptr);
