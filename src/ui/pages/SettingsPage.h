#pragma once
// The Settings page (tsSettings): Read/Write/Open/Save on the left, and in a
// scrolling area every control bound to a device setting, with the editor
// rules that tie them together:
//  - Contact-ID codes and the user ID turn pure red when they cannot be valid;
//  - the input modes, the temperature sensor and the relay choices are shown
//    by radio buttons but carried by hidden controls, kept in step both ways;
//  - three threshold pairs keep their minimum at least 4 degrees below their
//    maximum and show both in labels.
// Every rule runs from the control's change notification, so it reacts to the
// user, to another rule and to loading alike, and it comes to rest because a
// notification fires only on a real change.
#include "ui/pages/RelayPanel.h"
#include "ui/pages/ThresholdPair.h"
#include "ui/widgets/Bindings.h"

#include <QColor>
#include <QHash>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QAbstractButton;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class QSlider;
class RadioGroup;

class SettingsPage : public QWidget {
    Q_OBJECT
public:
    explicit SettingsPage(QWidget* parent = nullptr);
    ~SettingsPage() override;

    // Set by the window. updateUIState is called after every code and user-ID
    // validation with "EditValidation"; testReportNow asks the device for a
    // test report (SetParam("EVM:New", "10")).
    std::function<void(const char* reason)> updateUIState;
    std::function<void()> testReportNow;

    QWidget* control(const char* name) const;
    // Every device setting with the control that shows it, in the order
    // Read, Write, Open and Save walk them.
    ControlDescList Bindings() const;
    QPushButton* readButton() const { return btnRead_; }
    QPushButton* writeButton() const { return btnWrite_; }
    QPushButton* openButton() const { return btnOpen_; }
    QToolButton* recentButton() const { return btnRecent_; }
    QPushButton* saveButton() const { return btnSave_; }
    QPushButton* saveAsButton() const { return btnSaveAs_; }
    QPushButton* verifyButton() const { return btnVerify_; }
    QPushButton* reportButton() const { return btnReport_; }

    // Read and Open apply a whole configuration between these two calls
    // (endLoad also after a failure). Meanwhile the threshold pairs do not
    // pull a bar against its partner; endLoad then raises every maximum that
    // is closer than 4 degrees to its minimum. Calls may nest.
    void beginLoad();
    void endLoad();

    // The caption of the row chosen for input 1 or 2 ("Normally open"...), or
    // the input's code when it matches none.
    QString inputModeText(int input) const;

    // Writes the six temperature value labels from their bars ("36°C").
    void formatAllTempLabels();
    // Gives the caption-less check boxes of the event matrix their row's and
    // column's captions as accessible names ("01. IN1 Alarm – T1"); again after
    // every language change.
    void nameCaptionlessBoxes();

    // Background colour of an edit: white when valid, pure red when not.
    static QColor backgroundOf(const QLineEdit* edit);
    static const QColor kValidColor;
    static const QColor kInvalidColor;
    static bool isValidCidCode(const QString& code);
    static bool isValidUserId(const QString& id);

    // Handlers. Each runs when its control's state really changes.
    void edCID1Change(QLineEdit* sender);
    void edCID2Change(QLineEdit* sender);
    void edCID3Change(QLineEdit* sender);
    void edCID4Change(QLineEdit* sender);
    void edCID5Change(QLineEdit* sender);
    void edCID6Change(QLineEdit* sender);
    void edCID7Change(QLineEdit* sender);
    void edCID8Change(QLineEdit* sender);   // also edCID_TEMP_S and edCID_TEMP_R
    void edCID9Change(QLineEdit* sender);
    void edCID10Change(QLineEdit* sender);
    void edCID11Change(QLineEdit* sender);
    void ValidateCidEdit(QLineEdit* edit);
    void edTUserIDChange();
    void btTestReportNowClick();

    void rgIN1Click();
    void rgIN2Click();
    void _edIN1Change();
    void _edIN2Change();
    void cbTempSensClick();

    void tbMinTempChange();
    void tbMaxTempChange();
    void tbRelay1MinTempChange();
    void tbRelay1MaxTempChange();
    void tbRelay2MinTempChange();
    void tbRelay2MaxTempChange();
    static void FormatTempLabel(const QSlider* bar, QLabel* label);

    void rbRelay1TimedClick();
    void rbRelay1BistableClick();
    void _cbRelay1TimedClick();
    void rbRelay1ControlAlarmClick();
    void rbRelay1ControlPhoneClick();
    void rbRelay1ControlTempClick();
    void _edRelay1ControlChange();
    void rbRelay1TempInClick();
    void rbRelay1TempOutClick();
    void rbRelay1TempPlusClick();
    void rbRelay1TempMinusClick();
    void _edRelay1TempInOutChange();

    void rbRelay2TimedClick();
    void rbRelay2BistableClick();
    void _cbRelay2TimedClick();
    void rbRelay2ControlAlarmClick();
    void rbRelay2ControlPhoneClick();
    void rbRelay2ControlTempClick();
    void _edRelay2ControlChange();
    void rbRelay2TempInClick();
    void rbRelay2TempOutClick();
    void rbRelay2TempPlusClick();
    void rbRelay2TempMinusClick();
    void _edRelay2TempInOutChange();

private:
    using Handler = void (SettingsPage::*)();
    struct CaptionlessBox {
        QCheckBox* box;
        QLabel* row;
        QList<QLabel*> column;
    };
    std::vector<CaptionlessBox> captionlessBoxes_;
    struct RelayHandlers;

    QWidget* buildPhoneNumbers(QWidget* parent);
    QWidget* buildNotifications(QWidget* parent);
    QWidget* buildInputs(QWidget* parent);
    QWidget* buildRelays(QWidget* parent);
    QWidget* buildMonitoringStation(QWidget* parent);
    void applySpinRanges();
    void applyDesignValues();
    void wireRules();
    void wireRelay(RelayPanel& relay, const RelayHandlers& h);
    void onSelected(QAbstractButton* button, Handler h);
    void setValidity(QLineEdit* edit, bool valid);
    void inputPositionChanged(RadioGroup* group, QLineEdit* code);
    void inputCodeChanged(QLineEdit* code, RadioGroup* group);
    void alignInputRows();
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

    QPushButton* btnRead_ = nullptr;
    QToolButton* btnRecent_ = nullptr;
    QPushButton* btnWrite_ = nullptr;
    QPushButton* btnOpen_ = nullptr;
    QPushButton* btnSave_ = nullptr;
    QPushButton* btnSaveAs_ = nullptr;
    QPushButton* btnVerify_ = nullptr;   // reads back and compares
    QPushButton* btnReport_ = nullptr;   // the commissioning report

    RadioGroup* rgIN1_ = nullptr;
    RadioGroup* rgIN2_ = nullptr;
    QLineEdit* edIN1_ = nullptr;
    QLineEdit* edIN2_ = nullptr;
    QCheckBox* cbTempSens_ = nullptr;
    QList<QWidget*> inputRows_;   // row labels beside the two input columns
    QLineEdit* edTUserID_ = nullptr;

    // The page's widgets by name, those whose name only one of them has, as
    // built: control() looks there first instead of searching the whole tree.
    void indexControls();
    QHash<QString, QPointer<QWidget>> controls_;

    std::unique_ptr<ThresholdPair> eventPair_;
    std::unique_ptr<RelayPanel> relay_[2];
    int loadDepth_ = 0;
};
