#pragma once
// The Status page: version information, uptimes, GSM signal, supply voltage,
// temperatures, inputs and relays of the device.
//
// The page holds the controls only. Values are written into them by name from
// outside (the window's status binding list): the six plain values go straight
// into their value labels, the other nine into hidden edits whose change
// handlers draw the visible labels. A handler runs only when its edit's text
// really changes, so a repeated value leaves the label as it was drawn.
#include "ui/lang/Messages.h"

#include <QByteArray>
#include <QColor>
#include <QString>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QProgressBar;
class TrendPlot;

class StatusPage : public QWidget {
    Q_OBJECT
public:
    explicit StatusPage(QWidget* parent = nullptr);

    // Any control of the page by its objectName; nullptr when there is none.
    QWidget* control(const char* name) const;

    // The words the input and relay labels show, looked up by key ("txtActive",
    // "txtInactive", "txtOn", "txtOff"); the window points this at its language
    // manager. A key without a text shows as empty. Unset: the English words.
    std::function<QString(const QByteArray& key)> lookupText;
    // The program's messages in the window's language (the plots' captions);
    // unset: English.
    std::function<QString(lang::Msg)> message;

    // The colours of the input and relay states.
    static QColor greyColor() { return QColor(128, 128, 128); }
    static QColor redColor() { return QColor(255, 0, 0); }
    static QColor greenColor() { return QColor(0, 128, 0); }

    // Change handlers of the hidden edits (connected to their textChanged).
    void _edGsmSignalValueChange();
    void _edSupplyVoltageValueChange();
    void _edMinVoltageValueChange();
    void _edActTempSensorValueChange();
    void _edActTempModuleValueChange();
    void _edInputsIN1ValueChange();
    void _edInputsIN2ValueChange();
    void _edRelay1ValueChange();
    void _edRelay2ValueChange();

    // Draws the input and relay words and the plots' captions again (after a
    // language switch).
    void redrawWords();
    // Stale values stay shown, greyed, until fresh ones arrive: the module
    // went away, or has not answered since it came back.
    void setStale(bool stale);
    bool stale() const { return stale_; }

signals:
    // A change handler has just written the value label of this name.
    void statusDrawn(const QString& labelName);

private:
    QLabel* label(const char* name) const;
    QLineEdit* edit(const char* name) const;
    QString word(const char* key) const;
    QString text(lang::Msg m) const;
    void showPlotTexts();
    void showText(const char* labelName, const QString& text);
    void showState(const char* labelName, const QString& text, const QColor& colour);
    void showInput(const char* editName, const char* labelName);
    void showRelay(const char* editName, const char* labelName);
    // The edit's text and the unit the label has (statusUnit).
    void showWithUnit(const char* editName, const char* labelName);

    QProgressBar* pbGsmSignal_ = nullptr;
    TrendPlot* plGsmSignal_ = nullptr;
    TrendPlot* plSupplyVoltage_ = nullptr;
    TrendPlot* plTemperature_ = nullptr;
    bool stale_ = false;
};
