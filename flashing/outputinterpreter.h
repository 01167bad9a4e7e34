#pragma once

#include <QByteArray>
#include <QString>

// What one read of a flashing tool's standard output says. The text of a
// read is looked at together with the unfinished last line of the reads
// before it (the carry), so that a word or marker split between two reads is
// still found; only what ends inside the new read counts, so nothing is found
// twice.
struct ChunkVerdict
{
    bool failed = false;         // "ERROR" or "Fail" seen
    int progress = -1;           // first percentage of the read, -1 when none
    bool reachedHundred = false; // some percentage of the read is exactly 100
    int lastProgress = -1;       // last percentage of the read up to 100, -1 when none
    bool markerSeen = false;     // the completion marker "<port>->Okay" seen
};

// Text of one read of a flashing tool's output, in the local 8-bit code
// page. A NUL byte reads as a blank, so that it hides nothing after it, and
// every other ASCII byte as itself, whatever the bytes around it.
QString decodeOutputChunk(QByteArray bytes);

// The number in front of the first "%" that follows decimal digits, or -1.
// A number too large for an int gives 0.
int firstPercentage(const QString &text);

// Interprets one read. carry is the unfinished line kept from earlier reads
// (see nextCarry), text the decoded new read, marker the device's completion
// marker.
ChunkVerdict interpretChunk(const QString &carry, const QString &text, const QString &marker);

// What to keep of carry + text for the next read: the text after the last
// line end, of which at most the last keep characters (enough to complete the
// longest word looked for).
QString nextCarry(const QString &carry, const QString &text, int keep);

// How many characters nextCarry must keep for a completion marker.
int carryLengthFor(const QString &marker);
