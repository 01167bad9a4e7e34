#include "app/autostart.h"

#include "app/widget.h"
#include "flashing/attemptsignals.h"
#include "flashing/scripttext.h"

#include <QFileInfo>
#include <QMetaObject>

AutoStart::AutoStart(Widget *window)
    : QObject(window)
    , m_window(window)
{
    window->setWindowTitle(window->windowTitle() + tr(" (auto-start on)"));
    connect(window->attemptSignals(), &AttemptSignals::listingFinished, this, [this](bool succeeded) {
        if (succeeded)
            schedulePass();
    });
    connect(window->attemptSignals(), &AttemptSignals::imagePathChanged, this, &AutoStart::schedulePass);
    // The boards listed when the window opened have appeared too.
    schedulePass();
}

void AutoStart::schedulePass()
{
    if (m_passQueued)
        return;
    m_passQueued = true;
    QMetaObject::invokeMethod(this, &AutoStart::runPass, Qt::QueuedConnection);
}

void AutoStart::runPass()
{
    m_passQueued = false;
    QStringList listed;
    for (int row = 0; row < m_window->rowCount(); ++row) {
        const QString port = m_window->portAt(row);
        // Listed boards' rows have an action button; a lost job's row has none.
        if (m_window->actionButtonAt(row) && m_window->findRowByPath(port) == row)
            listed << port;
    }
    // An image that is not there yet (a path still being typed) or that the
    // start check refuses (not verified yet) starts nothing: the boards wait.
    const QString image = m_window->imagePath();
    const bool imageSet = !image.isEmpty() && QFileInfo(image).isFile() && imagePathProblem(image).isEmpty() &&
                          m_window->checkStart().reason.isEmpty();
    const QStringList start = m_plan.portsToStart(listed, imageSet);
    for (const QString &port : start) {
        if (!m_window->hasJob(port))
            m_window->runOrStopDevice(port);
    }
}
