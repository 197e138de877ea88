#pragma once
// The program's own messages (errors and notes the window shows), in the
// three languages of the user interface. They are not captions of controls,
// so they live beside the translation tables rather than in them.
#include "ui/lang/LangTables.h"

#include <QString>

namespace lang {

enum class Msg {
    NotSettingsFile,     // %1 file name
    NoAnswerFor,         // %1 setting key
    RefusedSetting,      // %1 setting key
    DisconnectedAfter,   // %1 settings done, %2 settings in all
    Disconnected,
    CannotSend,        // %1 setting
    SettingsRead,      // %1 count
    SettingsWritten,   // %1 count
    ModemPortFailed,
    ModemPortLocked,   // %1 the lock file
    ModemPortLeftExclusive,
    ModemNoModem,
    ModemNoSim,
    ModemDialling,     // %1 phone number
    ModemConnected,    // %1 speed
    ModemWrongSpeed,   // %1 speed
    ModemBusy,
    ModemNoCarrier,
    ModemNoAnswer,
    ModemNoDialTone,
    ModemCancelled,
    ModemHungUp,
    EmptyPhoneNumber,
    CancelButton,
    StandingNoModule,
    StandingNotAccessible,
    StandingConnected,
    StandingLoggedIn,
    StandingCallUp,   // %1 phone number
    PasswordRefused,
    StandingPasswordRefused,
    LogInButton,
    NotLoggedIn,
    LogAllLines,
    LogClear,
    LogCopy,
    LogSave,
    LogSaveFailed,    // %1 file name, %2 the system's reason
    LogTextDropped,   // %1 how many pieces of text
    AboutTitle,
    AboutButton,   // the "?" button's name for a screen reader
    AboutText,     // %1 Kestrum's version, %2 Qt's version
    AllFilesFilter,
    IniFilesFilter,
    DiscardButton,
    UnsavedQuestion,   // %1 how many settings changed
    SaveFirstButton,
    SaveAsButton,
    WasValue,   // %1 the value before the change
    PageNotWritten,
    PageWritten,   // %1 time of day (HH:mm)
    PageRead,      // %1 time of day (HH:mm)
    RecentFiles,
    VerifyButton,
    VerifyMatch,     // %1 count
    VerifyDiffers,   // followed by one line per setting
    ReportButton,
    ReportTitle,
    ReportDate,
    ReportSource,
    ReportReadAt,      // %1 date and time
    ReportWrittenAt,   // %1 date and time
    ReportFileSaved,   // %1 file name, %2 date and time of its last change
    ReportUnsaved,
    ReportSerial,
    ReportInstaller,
    ReportSignature,
    ReportSaveFailed,   // %1 file name, %2 the system's reason
    Yes,
    No,
    FileTooLarge,       // %1 file name, %2 its size, %3 the limit (bytes)
    SaveTooLarge,       // %1 file name, %2 the size it would have, %3 the limit (bytes)
    NotRegularFile,     // %1 file name
    EncodingQuestion,   // %1 file name, %2 the settings concerned
    PlotWindow,
    PlotLastUpdate,   // %1 time of day (HH:mm)
    PlotMax,          // %1 value with its unit
    PlotMin,          // %1 value with its unit
    ReadStopped,      // %1 settings read, %2 settings in all, %3 the rest
    WriteStopped,     // %1 settings written, %2 settings in all, %3 the rest
    VerifyStopped,    // %1 settings compared, %2 settings in all, %3 the rest
    NotRead,
    NextStepTransfer,
    NextStepValue,
    SitesTab,
    SitesSearch,
    SitesUnusable,   // %1 why
    SiteModule,      // %1 the module installed there
    SiteNoModule,
    SitesHistory,
    HistoryDate,
    HistoryAction,
    HistoryResult,
    HistoryOperator,
    HistoryDone,
    HistoryFailed,   // %1 the reason
    ActionRead,
    ActionWrite,
    ActionVerify,
    ActionVolumes,
    ActionDiff,
    ActionRestore,
    ActionImport,
    ActionPassword,
    SnapshotAgainstPrevious,
    SnapshotAgainstPage,
    SnapshotNoPrevious,
    SnapshotSame,
    SnapshotLoad,
    SnapshotExport,
    SnapshotReport,
    SitesStatus,
    PlotVisits,   // %1 how many visits
    SiteLabel,    // %1 site name
    AddToSite,
    AddToSiteQuestion,
    AddToSiteFailed,   // %1 site name, %2 why
    RecordingFailed,   // %1 why
    DatabaseLabel,
    DatabaseUse,
    DatabaseNote,
    DatabaseRefused,       // %1 why
    RecordsWaitingOne,     // %1 the count (1)
    RecordsWaitingFew,     // %1 the count (0, 2-19, 101-119…)
    RecordsWaitingMany,    // %1 the count (20-100, 120…)
    TeamOutOfReach,        // %1 why
    TeamOutOfReachShown,   // %1 why
    Count
};

// Which of three forms a count takes: one (1); few (0, 2 to 19, 101 to
// 119…); many (20 to 100, 120…). Romanian needs all three ("3 inregistrari",
// "20 de inregistrari"); English and Hungarian write few and many alike.
Msg counted(int n, Msg one, Msg few, Msg many);

// The message in that language, %1 and %2 still to be filled in.
QString message(Language language, Msg m);

}   // namespace lang
