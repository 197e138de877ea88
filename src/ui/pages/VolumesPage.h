#pragma once
// The Volumes page: the microphone gain and the speaker volume used in calls.
#include "core/config/ParamTable.h"
#include "ui/lang/Messages.h"

#include <QWidget>

#include <functional>

class Exchange;
class QLabel;
class QPushButton;
class QSlider;

class VolumesPage : public QWidget {
    Q_OBJECT
public:
    VolumesPage(Exchange& exchange, QWidget* parent = nullptr);

    void tbMicVolChange();
    void tbSpkVolChange();
    void btSetVolsClick();
    void btReadVolsClick();   // throws text::ConvertError for a non-integer answer

    // The window's messages in its language (English when unset).
    std::function<QString(lang::Msg)> message;

    QSlider* tbMicVol;
    QSlider* tbSpkVol;
    QLabel* lbMicVolVal;
    QLabel* lbSpkVolVal;
    QPushButton* btReadVols;
    QPushButton* btSetVols;

    static constexpr const char* kMicKey = kMicVolumeKey;
    static constexpr const char* kSpkKey = kSpeakerVolumeKey;

private:
    void readLevel(const char* key, QLabel* label, QSlider* bar);
    Exchange& exchange_;
};
