// Kestrum: configures and monitors the Brisal GSM alarm module.
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "sites/SiteDatabase.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/window/AppIcon.h"
#include "ui/window/CloseOnSignals.h"
#include "ui/window/TFormMain.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <exception>
#include <memory>

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName("Kestrum");
    QCoreApplication::setOrganizationName("Orvik");
    QCoreApplication::setApplicationVersion(KESTRUM_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription("Configures and monitors the Brisal GSM alarm module.");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption demo("demo", "Use a simulated module instead of the USB device.");
    QCommandLineOption full("full", "Show every page, not only the volume tool.");
    QCommandLineOption serial("serial-port", "Offer this serial port on the Modem page.", "path");
    QCommandLineOption demoPassword("demo-password", "The simulated module's password (default 4826).", "pw");
    QCommandLineOption database("database",
                                "The site database: a file, or postgresql://USER@HOST[:PORT]/DBNAME for a team "
                                "server (default: KESTRUM_DATABASE, the one last chosen on the Sites page, or the "
                                "file in the application-data folder, as kestrum-cli).",
                                "reference");
    QCommandLineOption noRecord("no-record", "Record nothing in the site database this run.");
    QCommandLineOption operatorName("operator", "Who works, as recorded (default: the system's user name).", "name");
    parser.addOptions({demo, full, serial, demoPassword, database, noRecord, operatorName});
    {
        // --help, --version and a wrong option are answered without a display.
        QCoreApplication plain(argc, argv);
        parser.process(plain);
    }
    QApplication app(argc, argv);
    QGuiApplication::setWindowIcon(kestrumIcon());
    QGuiApplication::setDesktopFileName("kestrum");

    try {
        std::unique_ptr<SimModule> module;
        std::unique_ptr<SimHidBackend> backend;
        TFormMain::Options options;
        options.full = parser.isSet(full);
        options.extraSerialPorts = parser.values(serial);
        // The site database the command-line tool uses too, demo or not, so
        // that the Sites page shows what kestrum-cli recorded.
        const QString fromEnvironment = qEnvironmentVariable("KESTRUM_DATABASE");
        if (parser.isSet(database))
            options.database = parser.value(database);
        else if (!fromEnvironment.isEmpty())
            options.database = fromEnvironment;
        else {
            options.database = sites::SiteDatabase::defaultPath();
            options.savedDatabaseFirst = true;   // the Sites page's choice, when there is one
        }
        options.noRecord = parser.isSet(noRecord);
        options.operatorName = parser.value(operatorName);
        if (parser.isSet(demo)) {
            module = std::make_unique<SimModule>();
            if (parser.isSet(demoPassword)) module->setPassword(parser.value(demoPassword).toLocal8Bit());
            backend = std::make_unique<SimHidBackend>(*module);
            options.backend = backend.get();
        }
        TFormMain window(options);
        CloseOnSignals closeOnSignals(&window);   // a kill ends the program as its window's close would
        window.show();
        if (backend) {
            // The simulated module is plugged in shortly after start, as a user would.
            QTimer::singleShot(1500, &window, [b = backend.get()] { b->attach(); });
        }
        const int rc = app.exec();
        window.FormClose();
        return rc;
    } catch (const std::exception& e) {
        ShowError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowError(QString());
    }
    return 1;
}
