#include "app/stationmetrics.h"

#include "app/widget.h"
#include "flashing/attemptsignals.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QSaveFile>
#include <QSet>
#include <QSysInfo>
#include <QTableWidget>

namespace {

double secondsSinceEpoch(const QDateTime &time)
{
    return double(time.toMSecsSinceEpoch()) / 1000.0;
}

} // namespace

StationMetrics::StationMetrics(const QString &fileName, QObject *parent)
    : QObject(parent)
    , m_fileName(fileName)
{
    m_state.host = QSysInfo::machineHostName();
    const QDir here = QDir::current();
    m_state.folder = here.canonicalPath().isEmpty() ? here.absolutePath() : here.canonicalPath();
    m_state.sessionStartSeconds = secondsSinceEpoch(QDateTime::currentDateTimeUtc());

    m_writeTimer.setSingleShot(true);
    connect(&m_writeTimer, &QTimer::timeout, this, [this] {
        writeNow();
    });
    m_heartbeat.setInterval(HeartbeatIntervalMs);
    connect(&m_heartbeat, &QTimer::timeout, this, &StationMetrics::changed);
}

StationMetrics::~StationMetrics()
{
    if (m_dirty)
        writeNow();
}

void StationMetrics::attach(Widget *window)
{
    m_window = window;
    seedFromTable();
    // Running jobs are counted from the attempts, not from the tools: a
    // killed tool that is still being reaped has ended its attempt, and the
    // write that follows the end must say so.
    connect(m_window->attemptSignals(), &AttemptSignals::attemptStarted, this, [this](const Attempt &attempt) {
        ++m_openAttempts[attempt.port];
        changed();
    });
    connect(m_window->attemptSignals(), &AttemptSignals::attemptEnded, this, [this](const Attempt &attempt) {
        const auto open = m_openAttempts.find(attempt.port);
        if (open != m_openAttempts.end() && --open.value() <= 0)
            m_openAttempts.erase(open);
        m_state.countAttempt(attempt);
        changed();
    });
    connect(m_window->attemptSignals(), &AttemptSignals::listingFinished, this, [this](bool succeeded, int boardCount) {
        m_state.lastListingSucceeded = succeeded ? 1 : 0;
        // A failed listing changes no row: the boards shown are still there.
        if (succeeded)
            m_state.boardsListed = boardCount;
        changed();
    });
    m_heartbeat.start();
    writeNow();
}

// The window lists the boards while it is built, before anything can attach
// to it: its rows tell what that listing found. A lost job's row has no
// action button and is not a listed board.
void StationMetrics::seedFromTable()
{
    const auto *table = m_window ? m_window->findChild<QTableWidget *>(QStringLiteral("tableWidget")) : nullptr;
    if (!table)
        return;
    QSet<QString> ports;
    for (int row = 0; row < table->rowCount(); ++row) {
        if (m_window->actionButtonAt(row))
            ports.insert(m_window->portAt(row));
    }
    m_state.boardsListed = ports.size();
    if (!ports.isEmpty())
        m_state.lastListingSucceeded = 1;
}

// Changes that come together (a StopAll ending every job) cost one write.
void StationMetrics::changed()
{
    m_dirty = true;
    if (m_writeTimer.isActive())
        return;
    const qint64 elapsed = m_sinceWrite.isValid() ? m_sinceWrite.elapsed() : MinimumIntervalMs;
    m_writeTimer.start(int(qMax<qint64>(0, MinimumIntervalMs - elapsed)));
}

bool StationMetrics::writeNow()
{
    m_writeTimer.stop();
    m_dirty = false;
    m_sinceWrite.start();
    m_state.jobsRunning = 0;
    for (int open : qAsConst(m_openAttempts))
        m_state.jobsRunning += open;
    m_state.updateSeconds = secondsSinceEpoch(QDateTime::currentDateTimeUtc());

    QSaveFile file(m_fileName);
    const bool ok = file.open(QIODevice::WriteOnly) && file.write(renderStationMetrics(m_state)) >= 0 && file.commit();
    if (!ok) {
        if (!m_failureSaid)
            qWarning().noquote() << QStringLiteral("The metrics file %1 cannot be written (%2); flashing goes on")
                                        .arg(QDir::toNativeSeparators(m_fileName), file.errorString());
        m_failureSaid = true;
        return false;
    }
    m_failureSaid = false;
    ++m_writeCount;
    emit written(m_fileName);
    return true;
}
