#pragma once
// The panel of one relay output: timing, control mode, alarm and phone
// start/stop events, response SMS and the temperature behaviour. Relay 1 and
// relay 2 are built by the same code and differ only in the digit of every name.
//
// Three choices are carried by hidden controls bound to the device parameters;
// the radio buttons only show them:
//   _cbRelayNTimed      checked = timed, clear = bistable
//   _edRelayNControl    "0" alarm, "1" incoming call, "2" temperature
//   _edRelayNTempInOut  "0" in range, "1" out of range, "2" above max, "3" below min
#include "ui/pages/ThresholdPair.h"

#include <memory>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QRadioButton;
class QSlider;
class QWidget;
class SpinEdit;

class RelayPanel {
public:
    RelayPanel(int number, QWidget* parent);

    int number() const { return number_; }
    QGroupBox* box() const { return box_; }

    QRadioButton* rbBistable = nullptr;
    QRadioButton* rbTimed = nullptr;
    SpinEdit* seTimed = nullptr;
    QCheckBox* hiddenTimed = nullptr;

    QRadioButton* rbControl[3] = {};   // index = mode code
    QLineEdit* hiddenControl = nullptr;

    QSlider* tbMinTemp = nullptr;
    QSlider* tbMaxTemp = nullptr;
    QRadioButton* rbTemp[4] = {};   // index = temperature code
    QLineEdit* hiddenTempInOut = nullptr;

    ThresholdPair& pair() { return *pair_; }

    // Rules; each runs when its control's state really changes.
    void timingSelected(bool timed);   // a timing radio button became selected
    void hiddenTimedChanged();
    void controlSelected(int code);   // a mode radio button became selected
    void hiddenControlChanged();
    void tempSelected(int code);   // a temperature radio button became selected
    void hiddenTempChanged();

private:
    int number_;
    QGroupBox* box_ = nullptr;
    QButtonGroup* tempGroup_ = nullptr;
    std::unique_ptr<ThresholdPair> pair_;
};
