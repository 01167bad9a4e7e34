#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// One device line of the tool's listing: six or seven trimmed, non-empty
// fields (port path, chip, "Pro", vendor id, product id, BCD version and an
// optional seventh field). Fields beyond the seventh are dropped.
struct ListedDevice
{
    QStringList fields;

    QString portPath() const { return fields.value(0); }
};

// Text of tool output: the bytes up to the first NUL, in the local 8-bit code
// page.
QString decodeToolOutput(const QByteArray &bytes);

// Removes terminal control sequences: ESC '[' then digits, ';' or '?', then
// one ASCII letter.
QString stripEscapeSequences(const QString &text);

// Device lines of a listing text, in order. Only lines after the first one
// that starts with "Path" count; lines starting with "=" are skipped; a
// device line holds a tab and at least six non-empty tab-separated fields.
// headerSeen, when given, tells whether the text has such a "Path" line.
QVector<ListedDevice> parseListing(const QString &text, bool *headerSeen = nullptr);
