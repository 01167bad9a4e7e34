#include "discovery/rescanscheduler.h"

#include <utility>

RescanScheduler::RescanScheduler(std::function<void()> rescan, std::function<void()> drain, QObject *parent)
    : QObject(parent)
    , m_rescan(std::move(rescan))
    , m_drain(std::move(drain))
{}

void RescanScheduler::request()
{
    m_pending = true;
    if (!m_queued && !m_running)
        queue();
}

void RescanScheduler::queue()
{
    m_queued = true;
    QMetaObject::invokeMethod(this, &RescanScheduler::runPending, Qt::QueuedConnection);
}

void RescanScheduler::runPending()
{
    m_queued = false;
    if (m_running || !m_pending)
        return;
    m_running = true;
    // Changes already waiting are covered by the rescan about to run.
    if (m_drain)
        m_drain();
    m_pending = false;
    m_rescan();
    m_running = false;
    if (m_pending && !m_queued)
        queue();
}
