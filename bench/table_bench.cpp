// The table case of velmora_bench: the device table rebuilt for many listed
// boards, in a shown window, two ways side by side in one window:
//
//   before  the rows rebuilt while the table shows them, which is what the
//           window did until rebuilds were done out of sight; the bench
//           builds the same items and cell widgets itself;
//   after   Widget::populateDeviceTable, the window's own rebuild.
//
// Each rebuild runs from the event loop, once into an empty table and once
// over the same number of rows (a List or a rescan on a full rack). A 5 ms
// timer records the largest gap between its ticks: the time the window
// could not repaint or take a click, the repaint after the rebuild and the
// deletion of the old rows included.

#include "bench/table_bench.h"

#include "app/widget.h"
#include "discovery/devicechangesource.h"
#include "bench/freezeprobe.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

QString listingText(int boards)
{
    QString text = QStringLiteral("\tPath\tChip\tPro\tVid\tPid\tBcdVersion\tSerial_no\n") + QString(64, '=') + '\n';
    for (int i = 0; i < boards; ++i)
        text += QStringLiteral("\t%1\tVB100\tLOAD:\t0xFFF0\t0xFFF1\t0x0001\tVLM%2\n")
                    .arg(boardPort(i))
                    .arg(i, 8, 16, QChar('0'));
    return text;
}

// The rows as the window built them before: every row anew while the table
// is shown.
void rebuildInView(QTableWidget *table, int boards)
{
    table->setRowCount(0);
    table->setRowCount(boards);
    for (int row = 0; row < boards; ++row) {
        const QStringList fields = {boardPort(row),
                                    QStringLiteral("VB100"),
                                    QStringLiteral("LOAD:"),
                                    QStringLiteral("0xFFF0"),
                                    QStringLiteral("0xFFF1"),
                                    QStringLiteral("0x0001"),
                                    QStringLiteral("VLM%1").arg(row, 8, 16, QChar('0'))};
        for (int column = 0; column < fields.size(); ++column)
            table->setItem(row, column, new QTableWidgetItem(fields.at(column)));
        auto *mode = new QComboBox(table);
        mode->addItems({QStringLiteral("Image"), QStringLiteral("Kernel"), QStringLiteral("FileSystem")});
        table->setCellWidget(row, 6, mode);
        auto *label = new QLabel(QStringLiteral("Idle"));
        label->setAlignment(Qt::AlignCenter);
        table->setCellWidget(row, 7, label);
        table->setCellWidget(row, 8, new QPushButton(QStringLiteral("Run")));
        auto *bar = new QProgressBar(table);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setAlignment(Qt::AlignCenter);
        table->setCellWidget(row, 9, bar);
    }
}

// Runs rebuild from the event loop; the probe's largest gap in ms.
double freezeMs(const std::function<void()> &rebuild)
{
    FreezeProbe probe;
    spinEventLoop(200);
    probe.start();
    QTimer::singleShot(0, rebuild);
    spinEventLoop(500);
    return probe.stop();
}

struct Figures
{
    QVector<double> first, again;
};

// The two rebuilds of one way, runs times, each time from an empty table.
Figures measure(QTableWidget *table, int runs, const std::function<void()> &rebuild)
{
    Figures figures;
    for (int run = 0; run < runs; ++run) {
        table->setRowCount(0);
        spinEventLoop(100);
        figures.first << freezeMs(rebuild);
        figures.again << freezeMs(rebuild);
    }
    table->setRowCount(0);
    spinEventLoop(100);
    return figures;
}

QVector<int> rowCounts(int argc, char **argv, int *runs)
{
    QVector<int> rows = {1000, 2000, 4000};
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--table-runs") == 0)
            *runs = std::max(1, std::atoi(argv[i + 1]));
        if (qstrcmp(argv[i], "--table-rows") == 0) {
            rows.clear();
            for (const QByteArray &n : QByteArray(argv[i + 1]).split(','))
                rows << std::max(1, n.toInt());
        }
    }
    return rows;
}

} // namespace

int runTableBench(int argc, char **argv)
{
    int runs = 3;
    const QVector<int> rows = rowCounts(argc, argv, &runs);
    // No tool in the folder: the window starts with an empty table.
    QTemporaryDir dir;
    if (!enterBenchFolder(dir, [](const QDir &) {
            return true;
        }))
        return 1;
    QApplication app(argc, argv);
    Widget w;
    // Kernel events of the shared machine would rebuild the table meanwhile.
    if (auto *source = w.findChild<DeviceChangeSource *>())
        QObject::disconnect(source, &DeviceChangeSource::deviceChanged, &w, nullptr);
    w.resize(1000, 700);
    w.show();
    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));

    std::printf("### Device table rebuilt for many boards\n\n");
    std::printf("Longest freeze of the GUI thread (ms), rebuild and repaint, in a shown window of 1000x700; median of "
                "%d runs. \"Again\" rebuilds over the same number of rows.\n\n",
                runs);
    std::printf("| rows | before, first | before, again | after, first | after, again | ratio before/after, again "
                "|\n| ---: | ---: | ---: | ---: | ---: | ---: |\n");
    bool complete = true;
    for (int boards : rows) {
        const QString text = listingText(boards);
        const Figures before = measure(table, runs, [table, boards] {
            rebuildInView(table, boards);
        });
        const Figures after = measure(table, runs, [&w, &text] {
            w.populateDeviceTable(text);
        });
        w.populateDeviceTable(text);
        complete &= table->rowCount() == boards && w.findRowByPath(boardPort(boards - 1)) == boards - 1;
        const double againAfter = medianOf(after.again);
        std::printf("| %d | %.0f | %.0f | %.0f | %.0f | %.1f |\n", boards, medianOf(before.first),
                    medianOf(before.again), medianOf(after.first), againAfter,
                    againAfter > 0 ? medianOf(before.again) / againAfter : 0.0);
        std::fflush(stdout);
    }
    std::printf("\nEvery listed board had its row after the window's rebuild: %s.\n", complete ? "yes" : "NO");
    return complete ? 0 : 2;
}
