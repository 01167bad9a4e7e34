#include "flashing/metrics.h"

#include <algorithm>

DurationHistogram::DurationHistogram(QVector<double> bounds)
    : m_bounds(std::move(bounds))
    , m_perBucket(m_bounds.size() + 1, 0)
{}

QVector<double> DurationHistogram::defaultBounds()
{
    return {5, 15, 30, 60, 120, 300, 600, 1200, 1800, 3600};
}

void DurationHistogram::observe(double seconds)
{
    // "le": a run of exactly 30 s belongs to the 30 s bucket.
    const auto bucket = std::lower_bound(m_bounds.cbegin(), m_bounds.cend(), seconds) - m_bounds.cbegin();
    ++m_perBucket[int(bucket)];
    m_sum += seconds;
    ++m_count;
}

QVector<quint64> DurationHistogram::cumulativeCounts() const
{
    QVector<quint64> counts;
    counts.reserve(m_perBucket.size());
    quint64 total = 0;
    for (quint64 n : m_perBucket)
        counts << (total += n);
    return counts;
}

void StationMetricsState::countAttempt(const Attempt &attempt)
{
    const int index = int(attempt.outcome);
    ++attempts[size_t(index)];
    ++portAttempts[attempt.port][size_t(index)];
    if (attempt.outcome != AttemptOutcome::NotStarted && attempt.started.isValid() && attempt.ended.isValid())
        durations.observe(double(std::max<qint64>(0, attempt.started.msecsTo(attempt.ended))) / 1000.0);
}

AttemptOutcome attemptOutcomeAt(int index)
{
    return static_cast<AttemptOutcome>(index);
}

QString escapeLabelValue(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QLatin1String("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else
            escaped += c;
    }
    return escaped;
}

namespace {

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 16);
}

QByteArray label(const char *name, const QString &value)
{
    return QByteArray(name) + "=\"" + escapeLabelValue(value).toUtf8() + '"';
}

// Writes the samples of one metric family, each with the station's labels
// and its own.
class Family
{
public:
    Family(QByteArray *out, const QByteArray &stationLabels, const char *name, const char *type, const char *help)
        : m_out(out)
        , m_labels(stationLabels)
        , m_name(name)
    {
        *m_out += "# HELP " + m_name + ' ' + help + "\n# TYPE " + m_name + ' ' + type + '\n';
    }

    void sample(const QByteArray &value, const QByteArray &extraLabels = {}, const char *suffix = "")
    {
        *m_out += m_name + suffix + '{' + m_labels;
        if (!extraLabels.isEmpty())
            *m_out += ',' + extraLabels;
        *m_out += "} " + value + '\n';
    }

private:
    QByteArray *m_out;
    QByteArray m_labels;
    QByteArray m_name;
};

QByteArray outcomeLabel(int index)
{
    return label("outcome", attemptOutcomeName(attemptOutcomeAt(index)));
}

void renderHistogram(QByteArray *out, const QByteArray &stationLabels, const DurationHistogram &histogram)
{
    Family family(out, stationLabels, "velmora_attempt_duration_seconds", "histogram",
                  "Time from the start of an attempt whose tool ran to its end.");
    const QVector<quint64> counts = histogram.cumulativeCounts();
    for (int i = 0; i < counts.size(); ++i) {
        const QString bound =
            i < histogram.bounds().size() ? QString::number(histogram.bounds().at(i), 'g', 16) : QStringLiteral("+Inf");
        family.sample(QByteArray::number(counts.at(i)), label("le", bound), "_bucket");
    }
    family.sample(number(histogram.sum()), {}, "_sum");
    family.sample(QByteArray::number(histogram.count()), {}, "_count");
}

} // namespace

QByteArray renderStationMetrics(const StationMetricsState &state)
{
    const QByteArray station = label("host", state.host) + ',' + label("folder", state.folder);
    QByteArray out;
    out.reserve(2048 + state.portAttempts.size() * 160);
    Family(&out, station, "velmora_session_start_time_seconds", "gauge",
           "When this Velmora session started, in seconds since the epoch.")
        .sample(number(state.sessionStartSeconds));
    Family(&out, station, "velmora_last_update_time_seconds", "gauge",
           "When this file was written, in seconds since the epoch.")
        .sample(number(state.updateSeconds));
    Family(&out, station, "velmora_boards_listed", "gauge", "Boards that the last successful listing showed.")
        .sample(QByteArray::number(state.boardsListed));
    Family(&out, station, "velmora_jobs_running", "gauge", "Flashing jobs whose tool runs or is starting.")
        .sample(QByteArray::number(state.jobsRunning));
    if (state.lastListingSucceeded >= 0)
        Family(&out, station, "velmora_last_listing_success", "gauge",
               "1 when the last listing said which boards are there, 0 when it failed.")
            .sample(QByteArray::number(state.lastListingSucceeded));
    Family attempts(&out, station, "velmora_attempts_total", "counter",
                    "Attempts that ended since the session started, by outcome.");
    for (int i = 0; i < StationMetricsState::OutcomeCount; ++i)
        attempts.sample(QByteArray::number(state.attempts[size_t(i)]), outcomeLabel(i));
    Family ports(&out, station, "velmora_port_attempts_total", "counter",
                 "Attempts that ended since the session started, by port and outcome.");
    for (auto it = state.portAttempts.cbegin(); it != state.portAttempts.cend(); ++it) {
        for (int i = 0; i < StationMetricsState::OutcomeCount; ++i) {
            if (it.value()[size_t(i)] > 0)
                ports.sample(QByteArray::number(it.value()[size_t(i)]),
                             label("port", it.key()) + ',' + outcomeLabel(i));
        }
    }
    renderHistogram(&out, station, state.durations);
    return out;
}
