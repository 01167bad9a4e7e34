#pragma once

#include "app/commandline.h"
#include "flashing/imagefingerprint.h"

#include <QObject>

class AutoStart;
class StationRecords;
class TerminationSignals;
class Widget;

// What a run of Velmora adds around its window: the image's fingerprint and
// the start check on it, the image and factory mode asked for on the command
// line. Lives while the window does.
class StationSession : public QObject
{
public:
    // The records, when given, follow the window and the image's hashes.
    StationSession(Widget *window, const Options &options, StationRecords *records = nullptr);

    ImageFingerprint *fingerprint() { return &m_fingerprint; }

private:
    ImageFingerprint m_fingerprint;
    AutoStart *m_autoStart = nullptr;
};

// The station's run once its folder is claimed: the records and the metrics
// file (which outlive the window and see its last jobs end), the window, and
// either the event loop or, with --headless, the unattended run. The exit code.
int runStation(const Options &options, TerminationSignals &termination);
