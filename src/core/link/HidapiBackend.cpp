#include "core/link/HidBackend.h"

#include <hidapi/hidapi.h>

#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
#include "core/link/HidArrivals_win.h"
#include "core/link/HidWin.h"
#else
#include "core/link/Hidraw.h"
#endif

namespace {

// Whether hidapi's reason for an empty enumeration says that there is no
// device (or says nothing), rather than that the listing failed.
bool noDevicesIn(const std::string& reason) {
    return reason.empty() || reason.rfind("No HID devices", 0) == 0 ||
           reason.find("not implemented") != std::string::npos;
}

// hidapi's wide strings, null where the device gave none, as UTF-8.
std::string utf8(const wchar_t* text) { return text ? QString::fromWCharArray(text).toStdString() : std::string(); }

// hidapi's words for the latest failure on h (null: of the latest
// enumerate or open) as UTF-8; empty where it has none to tell.
std::string hidapiError(hid_device* h) {
    const wchar_t* text = hid_error(h);
    // hidapi says "Success" where it has no error to tell.
    if (!text || std::wcscmp(text, L"Success") == 0) return {};
    return QString::fromWCharArray(text).toStdString();
}

// The module's interfaces (hidapi lists only those of its vendor and
// product, whose strings it reads) as "HID\VID_...". *told: hidapi's reason
// where it gave no list; then false for a failure, true for no device.
bool hidapiEnumerate(std::vector<HidInterface>& out, std::string* told) {
    told->clear();
    // hidapi that cannot start (the system lacks what it needs, as under
    // Wine) lists nothing; it says why.
    if (hid_init() < 0) {
        *told = hidapiError(nullptr);
        return false;
    }
    hid_device_info* list = hid_enumerate(kModuleVendorId, kModuleProductId);
    // No list is no device or a failure: hidapi says which in words.
    if (!list) {
        *told = hidapiError(nullptr);
        return noDevicesIn(*told);
    }
    for (hid_device_info* d = list; d; d = d->next) {
        char id[64];
        std::snprintf(id, sizeof id, "HID\\VID_%04X&PID_%04X&REV_%04X", d->vendor_id, d->product_id, d->release_number);
        out.push_back({id, d->path ? d->path : "", utf8(d->serial_number), utf8(d->product_string)});
    }
    hid_free_enumeration(list);
    return true;
}

#ifdef _WIN32
using InterfaceBackend = WinHidBackend;
#else
using InterfaceBackend = HidrawBackend;
#endif

// hidapi finds the module; its interface is read and written directly.
class HidapiBackend : public InterfaceBackend {
public:
    HidapiBackend() { hid_init(); }
    ~HidapiBackend() override { hid_exit(); }

    bool enumerate(std::vector<HidInterface>& out) override {
        errno = 0;
        std::string told;
        const bool listed = hidapiEnumerate(out, &told);
        // On hidraw the number the system gave survives in errno (hidapi on
        // Windows leaves it alone, and it is not kept there).
        keepFailure(told.empty() ? 0 : errno, told);
        return listed;
    }

#ifdef _WIN32
    // The configuration manager tells each HID interface that appears.
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override {
        return watchHidInterfaces(std::move(arrived));
    }
#else
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override {
        return watchHidraw(std::move(arrived));
    }
#endif
};

}   // namespace

HidBackend* hidapiBackend() {
    static HidapiBackend backend;
    return &backend;
}
