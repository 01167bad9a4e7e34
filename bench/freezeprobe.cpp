#include "bench/freezeprobe.h"

#include <QStringList>

#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>

#include <cstdio>

#include <algorithm>

void spinEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double medianOf(QVector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : (v.size() % 2 ? v.at(v.size() / 2) : (v.at(v.size() / 2 - 1) + v.at(v.size() / 2)) / 2);
}

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &)
{}

bool enterBenchFolder(const QTemporaryDir &dir, const std::function<bool(const QDir &)> &prepare)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("UUU_SIM_SCENARIO");
    if (!dir.isValid() || !prepare(QDir(dir.path())) || !QDir::setCurrent(dir.path())) {
        std::fprintf(stderr, "velmora_bench: cannot prepare a working directory\n");
        return false;
    }
    qInstallMessageHandler(discardMessages);
    return true;
}

FreezeProbe::FreezeProbe()
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        const qint64 now = m_clock.nsecsElapsed();
        m_maxGap = std::max(m_maxGap, now - m_lastTick);
        m_lastTick = now;
    });
}

void FreezeProbe::start()
{
    m_lastTick = 0;
    m_maxGap = 0;
    m_clock.start();
    m_timer.start();
}

double FreezeProbe::stop()
{
    m_timer.stop();
    return double(m_maxGap) / 1e6;
}

QString numberList(const QVector<double> &values, int decimals)
{
    QStringList parts;
    for (double x : values)
        parts << QString::number(x, 'f', decimals);
    return parts.join(QStringLiteral(", "));
}
