#include "core/link/HidArrivals_win.h"

#include <cstdio>
#include <utility>

namespace {

// The HID interface class: every HID device, the module among them, shows
// one interface of it.
constexpr GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The system calls back on a thread of its own, one call at a time or
// several at once; the callback only passes the arrival on, and the
// unregistration waits until no call is under way.
class CmArrivals : public ArrivalWatch {
public:
    CmArrivals(std::function<void()> arrived, const CmNotifyCalls& calls)
        : arrived_(std::move(arrived)), calls_(calls) {}
    ~CmArrivals() override {
        if (handle_) calls_.unregisterNotification(handle_);
    }

    // CR_SUCCESS, or why the system refused.
    CONFIGRET start() {
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = kHidInterfaceClass;
        const CONFIGRET r = calls_.registerNotification(&filter, this, &CmArrivals::told, &handle_);
        if (r != CR_SUCCESS) handle_ = nullptr;
        return r;
    }

private:
    static DWORD CALLBACK told(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA, DWORD) {
        if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) static_cast<CmArrivals*>(context)->arrived_();
        return ERROR_SUCCESS;
    }

    const std::function<void()> arrived_;
    const CmNotifyCalls calls_;
    HCMNOTIFICATION handle_ = nullptr;
};

CmNotifyCalls lookUp() {
    CmNotifyCalls calls;
    // From the system folder only; never freed (the calls stay in use).
    HMODULE dll = ::LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) return calls;
    calls.registerNotification = reinterpret_cast<decltype(calls.registerNotification)>(
        reinterpret_cast<void*>(::GetProcAddress(dll, "CM_Register_Notification")));
    calls.unregisterNotification = reinterpret_cast<decltype(calls.unregisterNotification)>(
        reinterpret_cast<void*>(::GetProcAddress(dll, "CM_Unregister_Notification")));
    return calls;
}

}   // namespace

const CmNotifyCalls& systemCmNotifyCalls() {
    static const CmNotifyCalls calls = lookUp();
    return calls;
}

std::unique_ptr<ArrivalWatch> watchHidInterfaces(std::function<void()> arrived, const CmNotifyCalls& calls,
                                                 std::string* why) {
    std::string reason;
    if (!calls.registerNotification || !calls.unregisterNotification) {
        reason = calls.registerNotification ? "cfgmgr32.dll has no CM_Unregister_Notification"
                                            : "cfgmgr32.dll has no CM_Register_Notification";
    } else {
        auto watch = std::make_unique<CmArrivals>(std::move(arrived), calls);
        const CONFIGRET r = watch->start();
        if (r == CR_SUCCESS) return watch;
        char text[64];
        std::snprintf(text, sizeof text, "CM_Register_Notification refused (CONFIGRET 0x%lX)", (unsigned long)r);
        reason = text;
    }
    if (why) *why = reason;
    return nullptr;
}
