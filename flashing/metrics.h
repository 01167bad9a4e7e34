#pragma once

#include "flashing/attempt.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

#include <array>

// Seconds that attempts took, counted into buckets by upper bound.
class DurationHistogram
{
public:
    // Upper bounds in seconds, ascending; a last "+Inf" bucket is implied.
    explicit DurationHistogram(QVector<double> bounds = defaultBounds());

    // From a few seconds (a refused or failing run) to an hour (a large image).
    static QVector<double> defaultBounds();

    void observe(double seconds);

    const QVector<double> &bounds() const { return m_bounds; }
    // Observations at or below each bound, then all of them (the "+Inf"
    // bucket): cumulative, as the exposition format wants them.
    QVector<quint64> cumulativeCounts() const;
    double sum() const { return m_sum; }
    quint64 count() const { return m_count; }

private:
    QVector<double> m_bounds;
    QVector<quint64> m_perBucket; // one more than bounds: the last is above every bound
    double m_sum = 0;
    quint64 m_count = 0;
};

// What a station's metrics file says at one moment.
struct StationMetricsState
{
    static constexpr int OutcomeCount = 5;

    QString host;
    QString folder;
    double sessionStartSeconds = 0; // since the epoch
    double updateSeconds = 0;       // since the epoch
    int boardsListed = 0;
    int jobsRunning = 0;
    // -1 while no listing has been seen, else 0 or 1.
    int lastListingSucceeded = -1;
    // Attempts that ended since the session started, by AttemptOutcome.
    std::array<quint64, OutcomeCount> attempts{};
    // The same per port, for a port that keeps failing.
    QMap<QString, std::array<quint64, OutcomeCount>> portAttempts;
    // Attempts whose tool ran (every outcome but not-started).
    DurationHistogram durations;

    // Counts one ended attempt in the totals, its port's and the histogram.
    void countAttempt(const Attempt &attempt);
};

// The outcomes in the order of AttemptOutcome, for iterating the counters.
AttemptOutcome attemptOutcomeAt(int index);

// A label value for the exposition format: backslash, double quote and line
// feed escaped, so that any port path or folder name stays one label.
QString escapeLabelValue(const QString &value);

// The state in the Prometheus text exposition format, as the node exporter's
// textfile collector reads it: HELP and TYPE for every family, no
// timestamps, every series labelled with the station's host and folder.
QByteArray renderStationMetrics(const StationMetricsState &state);
