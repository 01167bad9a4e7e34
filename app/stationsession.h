#pragma once

#include "app/commandline.h"
#include "flashing/imagefingerprint.h"

#include <QObject>

class AutoStart;
class Widget;

// What a run of Velmora adds around its window: the image's fingerprint and
// the start check on it, the image and factory mode asked for on the command
// line. Lives while the window does.
class StationSession : public QObject
{
public:
    StationSession(Widget *window, const Options &options);

private:
    ImageFingerprint m_fingerprint;
    AutoStart *m_autoStart = nullptr;
};
