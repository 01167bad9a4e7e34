#include "app/stationsession.h"

#include "app/autostart.h"
#include "app/widget.h"
#include "flashing/attemptsignals.h"

StationSession::StationSession(Widget *window, const Options &options)
{
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
