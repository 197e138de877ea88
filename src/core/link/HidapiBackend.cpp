#include "core/link/HidBackend.h"

#include <hidapi/hidapi.h>

#include <QString>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// hidapi's wide strings, null where the device gave none, as UTF-8.
std::string utf8(const wchar_t* text) { return text ? QString::fromWCharArray(text).toStdString() : std::string(); }

class HidapiBackend : public HidBackend {
public:
    HidapiBackend() { hid_init(); }
    ~HidapiBackend() override { hid_exit(); }

    bool enumerate(std::vector<HidInterface>& out) override {
        hid_device_info* list = hid_enumerate(0, 0);
        for (hid_device_info* d = list; d; d = d->next) {
            char id[64];
            std::snprintf(id, sizeof id, "HID\\VID_%04X&PID_%04X&REV_%04X", d->vendor_id, d->product_id,
                          d->release_number);
            out.push_back({id, d->path ? d->path : "", utf8(d->serial_number), utf8(d->product_string)});
        }
        hid_free_enumeration(list);
        return true;
    }

    HidHandle open(const std::string& path, bool) override { return hid_open_path(path.c_str()); }

    int read(HidHandle h, uint8_t* report, int timeoutMs) override {
        // hidapi gives the report without its ID byte; put the 0 back.
        const int n = hid_read_timeout(static_cast<hid_device*>(h), report + 1, kReportSize - 1, timeoutMs);
        if (n <= 0) return n;
        report[0] = 0;
        return n + 1;
    }

    bool write(HidHandle h, const uint8_t* report) override {
        return hid_write(static_cast<hid_device*>(h), report, kReportSize) == kReportSize;
    }

    void close(HidHandle h) override { hid_close(static_cast<hid_device*>(h)); }

    std::string lastError(HidHandle h) override {
        const wchar_t* text = hid_error(static_cast<hid_device*>(h));
        // hidapi says "Success" where it has no error to tell.
        if (!text || std::wcscmp(text, L"Success") == 0) return {};
        return QString::fromWCharArray(text).toStdString();
    }
};

}   // namespace

HidBackend* hidapiBackend() {
    static HidapiBackend backend;
    return &backend;
}
