#pragma once
// Read, Write, Open and Save: the whole configuration in one go, walking the
// settings binding list from its first entry to its last.
#include "app/ui/Bindings.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class Exchange;
class QProgressBar;
class QWidget;

class ConfigTransfer {
public:
    struct Host {
        ControlDescList& bindings;
        Exchange& exchange;
        QProgressBar* progress;                     // may be null
        std::function<void(bool busy, const char* reason)> setBusy;   // the busy flag, then a state update
        std::function<void()> beginLoad;            // around applying loaded values
        std::function<void()> endLoad;
        QWidget* dialogParent;
    };

    struct ReadResult {
        int answered = 0;            // answers kept by the first pass
        QByteArray refusedKey;       // the key the device refused, if any
        QList<QByteArray> silentKeys;   // keys that got no answer
    };
    struct WriteResult {
        int written = 0;
        QByteArray failedKey;        // the first key not confirmed
        int failure = 1;             // its result: 0 no answer, -1 refused
    };

    explicit ConfigTransfer(Host host);

    // Button handlers (with their dialogs; errors shown in a message box).
    void btnReadClick();
    void btnWriteClick();
    void btnOpenClick();
    void btnSaveClick();

    // The operations themselves. Read and Open throw text::ConvertError for a
    // text that a combo box, track bar or radio group cannot take; Save throws
    // std::runtime_error("Unable to write to <name>").
    ReadResult Read(const std::function<void(int done)>& progress = {});
    WriteResult Write(const std::function<void(int done)>& progress = {});
    void Open(const QString& path);
    void Save(const QString& path);

    // The file name Save uses for what the user chose: ".ini" appended unless
    // the name already ends with it (in any case).
    static QString SaveName(const QString& chosen);

    QList<QByteArray> responses;     // raw answers of the last Read, in list order
    static constexpr const char* kFilter = "ini files (*.ini)";   // shown as "ini files (*.ini)|*.ini"
    static constexpr const char* kSection = "Settings";

private:
    void apply(const std::function<void()>& body);
    void step();
    Host host_;
};
