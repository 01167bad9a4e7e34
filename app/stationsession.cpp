#include "app/stationsession.h"

#include "app/autostart.h"
#include "app/headless.h"
#include "app/stationmetrics.h"
#include "app/stationrecords.h"
#include "app/terminationsignals.h"
#include "app/widget.h"
#include "flashing/attemptsignals.h"

#include <QApplication>

#include <memory>

StationSession::StationSession(Widget *window, const Options &options, StationRecords *records)
{
    if (records)
        records->attach(window, &m_fingerprint); // before the first hash starts
    m_fingerprint.setExpectedSha256(options.expectSha256);
    connect(window->attemptSignals(), &AttemptSignals::imagePathChanged, &m_fingerprint, &ImageFingerprint::setImage);
    window->setStartCheck([this](const QString &image) {
        return m_fingerprint.startRefusal(image);
    });
    if (!options.image.isEmpty())
        window->setImagePath(options.image);
    m_fingerprint.setImage(window->imagePath());
    if (options.autoStart) {
        m_autoStart = new AutoStart(window);
        // A board held back until the image was verified may start now.
        connect(&m_fingerprint, &ImageFingerprint::hashed, m_autoStart, &AutoStart::schedulePass);
    }
}

int runStation(const Options &options, TerminationSignals &termination)
{
    StationRecords records;
    std::unique_ptr<StationMetrics> metrics;
    if (!options.metricsFile.isEmpty())
        metrics = std::make_unique<StationMetrics>(options.metricsFile);
    Widget window;
    StationSession session(&window, options, &records);
    if (metrics)
        metrics->attach(&window);
    if (options.headless) {
        const int result = runHeadless(window, headlessOptionsFrom(options), &termination, session.fingerprint());
        keepStandardOutputForResults();
        return result;
    }
    termination.closeOnSignal(&window);
    if (!TerminationSignals::arrived())
        window.show();
    return QApplication::exec();
}
