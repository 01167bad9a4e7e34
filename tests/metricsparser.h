#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

// One sample line of the Prometheus text exposition format.
struct MetricSample
{
    QString name;
    QMap<QString, QString> labels;
    double value = 0;
};

// A whole exposition as a strict reader sees it.
struct ParsedMetrics
{
    // Why the text is not a valid exposition, or "".
    QString error;
    QMap<QString, QString> types; // family -> "gauge", "counter", ...
    QMap<QString, QString> help;
    QVector<MetricSample> samples;

    // Samples of this name whose labels include these.
    QVector<MetricSample> find(const QString &name, const QMap<QString, QString> &labels = {}) const;
    // The value of the one such sample; -1 when there is none or several.
    double value(const QString &name, const QMap<QString, QString> &labels = {}) const;
};

// Reads an exposition: every family typed before its samples and in one
// block, label values unescaped, no timestamps (the textfile collector
// refuses them), the text ending in a line end.
ParsedMetrics parseExposition(const QByteArray &text);
