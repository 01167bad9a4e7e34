// velmora_micro_bench - Google Benchmark figures for the code that runs on
// every listing and on every read of a flashing tool's output:
//
//   * the listing parser (decodeToolOutput, stripEscapeSequences,
//     parseListing) on a 128-board listing, plain and with the colour,
//     line-erase and cursor sequences a terminal-minded tool prints;
//   * the output interpretation (decodeOutputChunk, interpretChunk, nextCarry,
//     firstPercentage) on typical progress reads: one line, a line split between two reads,
//     and a burst of lines read at once;
//   * the per-read debug line, formatted the way the job handler does it and
//     two cheaper ways, through a message handler that formats the message
//     like a station's file handler but writes nothing;
//   * a progress-bar update as the job handler makes it, on a row in view and
//     on a row scrolled out of view of the real window (offscreen platform).
//
// Run: velmora_micro_bench [--benchmark_filter=REGEX] [--benchmark_min_time=S]

#include "app/widget.h"
#include "bench/freezeprobe.h"
#include "discovery/listingparser.h"
#include "flashing/outputinterpreter.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDebug>
#include <QProgressBar>
#include <QTableWidget>

namespace {

// ---------------------------------------------------------------------------
// Inputs

// A listing of `boards` boards laid out as the tool prints it; with `colour`
// every line is wrapped in line-erase and colour sequences and the cursor is
// hidden and shown again around the listing.
QByteArray listingBytes(int boards, bool colour)
{
    const auto paint = [colour](const char *code, const QByteArray &text) {
        if (!colour)
            return text;
        return QByteArray("\x1b[2K\x1b[") + code + "m" + text + "\x1b[0m";
    };
    QByteArray out;
    if (colour)
        out += "\x1b[?25l";
    out += paint("1;36", "uuu_sim 1.0 - Velmora board simulator") + "\n";
    out += "\n";
    out += "Boards waiting in download mode:\n";
    out += paint("1", "\tPath\tChip\tPro\tVid\tPid\tBcdVersion\tSerial_no") + "\n";
    out += QByteArray(64, '=') + "\n";
    for (int i = 0; i < boards; ++i) {
        const QByteArray row = "\t" + boardPort(i).toLatin1() + "\tVB100\tLOAD:\t0xFFF0\t0xFFF1\t0x0001\tVLM" +
                               QByteArray::number(0x10000000 + i * 7919, 16).toUpper();
        out += paint("32", row) + "\n";
    }
    out += QByteArray::number(boards) + " boards";
    if (colour)
        out += "\x1b[?25h";
    out += "\n";
    return out;
}

QByteArray progressLine(const QString &port, int pct)
{
    return QStringLiteral("%1>write all: %2% (%3/4096 KiB)\n").arg(port).arg(pct).arg(4096 * pct / 100).toLatin1();
}

// ---------------------------------------------------------------------------
// Listing parser

void BM_DecodeToolOutput(benchmark::State &state)
{
    const QByteArray bytes = listingBytes(128, state.range(0) != 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(decodeToolOutput(bytes));
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}
BENCHMARK(BM_DecodeToolOutput)->ArgName("colour")->Arg(0)->Arg(1);

void BM_StripEscapeSequences(benchmark::State &state)
{
    const QString text = decodeToolOutput(listingBytes(128, state.range(0) != 0));
    for (auto _ : state)
        benchmark::DoNotOptimize(stripEscapeSequences(text));
    state.SetBytesProcessed(int64_t(state.iterations()) * text.size() * 2);
}
BENCHMARK(BM_StripEscapeSequences)->ArgName("colour")->Arg(0)->Arg(1);

void BM_ParseListing(benchmark::State &state)
{
    const QString text = stripEscapeSequences(decodeToolOutput(listingBytes(128, state.range(0) != 0)));
    if (parseListing(text).size() != 128)
        state.SkipWithError("the listing does not parse into 128 boards");
    for (auto _ : state)
        benchmark::DoNotOptimize(parseListing(text));
}
BENCHMARK(BM_ParseListing)->ArgName("colour")->Arg(0)->Arg(1);

// What one listing costs in parsing: bytes to device records.
void BM_ListingBytesToDevices(benchmark::State &state)
{
    const QByteArray bytes = listingBytes(128, state.range(0) != 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(parseListing(stripEscapeSequences(decodeToolOutput(bytes))));
}
BENCHMARK(BM_ListingBytesToDevices)->ArgName("colour")->Arg(0)->Arg(1);

// ---------------------------------------------------------------------------
// Output interpretation

const QString kPort = QStringLiteral("3:17");
const QString kMarker = kPort + QStringLiteral("->Okay");

void BM_DecodeOutputChunk(benchmark::State &state)
{
    const QByteArray chunk = progressLine(kPort, 42);
    for (auto _ : state)
        benchmark::DoNotOptimize(decodeOutputChunk(chunk));
}
BENCHMARK(BM_DecodeOutputChunk);

void BM_FirstPercentage(benchmark::State &state)
{
    const QString text = QString::fromLatin1(progressLine(kPort, 42));
    for (auto _ : state)
        benchmark::DoNotOptimize(firstPercentage(text));
}
BENCHMARK(BM_FirstPercentage);

// One progress line per read, nothing carried over: the common case.
void BM_InterpretChunk_OneLine(benchmark::State &state)
{
    const QString text = QString::fromLatin1(progressLine(kPort, 42));
    const QString carry;
    for (auto _ : state)
        benchmark::DoNotOptimize(interpretChunk(carry, text, kMarker));
}
BENCHMARK(BM_InterpretChunk_OneLine);

// The end of a line whose start came in the previous read.
void BM_InterpretChunk_SplitLine(benchmark::State &state)
{
    const QString line = QString::fromLatin1(progressLine(kPort, 42));
    const QString carry = line.left(12);
    const QString text = line.mid(12);
    for (auto _ : state)
        benchmark::DoNotOptimize(interpretChunk(carry, text, kMarker));
}
BENCHMARK(BM_InterpretChunk_SplitLine);

// Ten lines read at once (a reader that fell behind), ending with 100% and
// the marker.
void BM_InterpretChunk_Burst(benchmark::State &state)
{
    QByteArray bytes;
    for (int pct = 91; pct <= 100; ++pct)
        bytes += progressLine(kPort, pct);
    bytes += kMarker.toLatin1() + "\n";
    const QString text = QString::fromLatin1(bytes);
    const ChunkVerdict check = interpretChunk(QString(), text, kMarker);
    if (!check.reachedHundred || !check.markerSeen)
        state.SkipWithError("the burst is not read as 100% and marker");
    for (auto _ : state)
        benchmark::DoNotOptimize(interpretChunk(QString(), text, kMarker));
}
BENCHMARK(BM_InterpretChunk_Burst);

void BM_NextCarry(benchmark::State &state)
{
    const QString text = QString::fromLatin1(progressLine(kPort, 42));
    const int keep = carryLengthFor(kMarker);
    const QString carry;
    for (auto _ : state)
        benchmark::DoNotOptimize(nextCarry(carry, text, keep));
}
BENCHMARK(BM_NextCarry);

// Everything the job handler does to one read apart from the log, the debug
// line and the widgets: decode, build the marker, interpret, carry.
void BM_PerReadParsing(benchmark::State &state)
{
    const QByteArray chunk = progressLine(kPort, 42);
    QString carry;
    for (auto _ : state) {
        const QString text = decodeOutputChunk(chunk);
        const QString marker = kPort + QLatin1String("->Okay");
        const ChunkVerdict verdict = interpretChunk(carry, text, marker);
        carry = nextCarry(carry, text, carryLengthFor(marker));
        benchmark::DoNotOptimize(verdict);
    }
}
BENCHMARK(BM_PerReadParsing);

// ---------------------------------------------------------------------------
// The per-read debug line

// Formats each message as a station's file handler does, then drops it.
void formatAndDrop(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    benchmark::DoNotOptimize(qFormatLogMessage(type, context, message).toLocal8Bit());
}

class DebugHandlerScope
{
public:
    DebugHandlerScope() { m_previous = qInstallMessageHandler(formatAndDrop); }
    ~DebugHandlerScope() { qInstallMessageHandler(m_previous); }

private:
    QtMessageHandler m_previous = nullptr;
};

// As the job handler writes it: quoted, every byte checked for escaping.
void BM_DebugLine_Quoted(benchmark::State &state)
{
    const DebugHandlerScope scope;
    const QByteArray chunk = progressLine(kPort, 42);
    for (auto _ : state)
        qDebug() << "Debug Print Log:" << chunk;
}
BENCHMARK(BM_DebugLine_Quoted);

// The same stream without quoting: the raw text, line end included.
void BM_DebugLine_NoQuote(benchmark::State &state)
{
    const DebugHandlerScope scope;
    const QByteArray chunk = progressLine(kPort, 42);
    for (auto _ : state)
        qDebug().noquote() << "Debug Print Log:" << chunk;
}
BENCHMARK(BM_DebugLine_NoQuote);

// One message built up front, without QDebug's stream.
void BM_DebugLine_Prebuilt(benchmark::State &state)
{
    const DebugHandlerScope scope;
    const QByteArray chunk = progressLine(kPort, 42);
    for (auto _ : state)
        QMessageLogger().debug("Debug Print Log: %s", chunk.constData());
}
BENCHMARK(BM_DebugLine_Prebuilt);

// ---------------------------------------------------------------------------
// A progress-bar update in the real window

// The window with 128 listed rows, shown at its normal size.
Widget &window()
{
    static Widget *w = [] {
        auto *widget = new Widget;
        widget->populateDeviceTable(QString::fromLatin1(listingBytes(128, false)));
        widget->show();
        QApplication::processEvents();
        return widget;
    }();
    return *w;
}

// The progress bar of the row given as the range argument; null (and the
// benchmark skipped) when that row has none.
QProgressBar *barOfRow(benchmark::State &state)
{
    QProgressBar *bar = window().progressBarAt(int(state.range(0)));
    if (!bar)
        state.SkipWithError("no progress bar in that row");
    return bar;
}

// As the job handler shows a percentage: the value, and a format holding the
// number as text.  Range argument: the row (0 is in view, 100 is scrolled
// out of view).  Painting happens in the same iteration.
void BM_ShowProgress_NumberFormat(benchmark::State &state)
{
    QProgressBar *bar = barOfRow(state);
    if (!bar)
        return;
    int value = 0;
    for (auto _ : state) {
        value = value % 99 + 1;
        bar->setValue(value);
        const QString format = QStringLiteral("%1%").arg(value);
        if (bar->format() != format)
            bar->setFormat(format);
        QApplication::processEvents();
    }
}
BENCHMARK(BM_ShowProgress_NumberFormat)->ArgName("row")->Arg(0)->Arg(100);

// The same update with the toolkit's own percentage format ("%p%"), set once.
void BM_ShowProgress_PercentFormat(benchmark::State &state)
{
    QProgressBar *bar = barOfRow(state);
    if (!bar)
        return;
    bar->setFormat(QStringLiteral("%p%"));
    int value = 0;
    for (auto _ : state) {
        value = value % 99 + 1;
        bar->setValue(value);
        QApplication::processEvents();
    }
}
BENCHMARK(BM_ShowProgress_PercentFormat)->ArgName("row")->Arg(0)->Arg(100);

// An update that skips a bar outside the table's viewport (only the number is
// kept, to be shown when the row scrolls into view): the check alone.
void BM_ShowProgress_SkipOutOfView(benchmark::State &state)
{
    Widget &w = window();
    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    const int row = int(state.range(0));
    int value = 0;
    int pending = 0;
    for (auto _ : state) {
        value = value % 99 + 1;
        const int top = table->rowAt(0);
        const int bottom = table->rowAt(table->viewport()->height() - 1);
        if (row >= top && (bottom < 0 || row <= bottom))
            w.progressBarAt(row)->setValue(value);
        else
            pending = value;
        QApplication::processEvents();
    }
    benchmark::DoNotOptimize(pending);
}
BENCHMARK(BM_ShowProgress_SkipOutOfView)->ArgName("row")->Arg(100);

// The event loop pass alone, for subtracting from the figures above.
void BM_ProcessEventsIdle(benchmark::State &state)
{
    window();
    for (auto _ : state)
        QApplication::processEvents();
}
BENCHMARK(BM_ProcessEventsIdle);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
