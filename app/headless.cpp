#include "app/headless.h"

#include "app/terminationsignals.h"
#include "app/widget.h"
#include "discovery/toolcontract.h"
#include "flashing/attemptsignals.h"
#include "flashing/imagefingerprint.h"

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QtMath>

#include <array>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

constexpr int OutcomeCount = 5;

std::array<int, OutcomeCount> countOutcomes(const QVector<Attempt> &attempts)
{
    std::array<int, OutcomeCount> counts{};
    for (const Attempt &attempt : attempts)
        ++counts[size_t(attempt.outcome)];
    return counts;
}

double attemptSeconds(const Attempt &attempt)
{
    if (!attempt.started.isValid() || !attempt.ended.isValid())
        return 0;
    return double(qMax<qint64>(0, attempt.started.msecsTo(attempt.ended))) / 1000.0;
}

QString exitMeaning(HeadlessExitCode code)
{
    switch (code) {
    case ExitAllFinished:
        return QStringLiteral("every board finished");
    case ExitBoardFailed:
        return QStringLiteral("a board failed, was stopped or lost");
    case ExitStationError:
        return QStringLiteral("station error");
    case ExitTooFewBoards:
        return QStringLiteral("too few boards, nothing flashed");
    case ExitTimedOut:
        break;
    }
    return QStringLiteral("timed out");
}

} // namespace

HeadlessOptions headlessOptionsFrom(const Options &options)
{
    HeadlessOptions headless;
    headless.image = options.image;
    headless.mode = options.mode;
    headless.expect = options.expectBoards > 0 ? options.expectBoards : -1;
    headless.timeoutSeconds = options.timeoutSeconds > 0 ? qCeil(options.timeoutSeconds) : -1;
    headless.json = options.json;
    return headless;
}

HeadlessExitCode headlessExitCode(const HeadlessTally &tally)
{
    if (!tally.stationError.isEmpty())
        return ExitStationError;
    if (tally.expected >= 0 && tally.listed < tally.expected)
        return ExitTooFewBoards;
    if (tally.timedOut)
        return ExitTimedOut;
    const std::array<int, OutcomeCount> counts = countOutcomes(tally.attempts);
    // A tool that could not start, or a start refused (checksum), is the
    // station's fault rather than the board's.
    if (counts[size_t(AttemptOutcome::NotStarted)] > 0)
        return ExitStationError;
    if (counts[size_t(AttemptOutcome::Finished)] < tally.attempts.size() || tally.interrupted)
        return ExitBoardFailed;
    return ExitAllFinished;
}

QString headlessBoardLine(const Attempt &attempt)
{
    return QStringList{attempt.port, attemptOutcomeName(attempt.outcome),
                       QString::number(attemptSeconds(attempt), 'f', 1),
                       attempt.logPath.isEmpty() ? QStringLiteral("-") : attempt.logPath, attempt.reason}
        .join(QLatin1Char('\t'));
}

QString headlessSummary(const HeadlessTally &tally)
{
    const std::array<int, OutcomeCount> counts = countOutcomes(tally.attempts);
    QStringList parts;
    for (int i = 0; i < OutcomeCount; ++i)
        parts << QStringLiteral("%1 %2").arg(counts[size_t(i)]).arg(attemptOutcomeName(AttemptOutcome(i)));
    const HeadlessExitCode code = headlessExitCode(tally);
    QString listed = QStringLiteral("%1 boards listed").arg(tally.listed);
    if (tally.expected >= 0)
        listed += QStringLiteral(" (%1 expected)").arg(tally.expected);
    return QStringLiteral("%1; %2; exit code %3: %4")
        .arg(listed, parts.join(QStringLiteral(", ")))
        .arg(int(code))
        .arg(exitMeaning(code));
}

QByteArray headlessJson(const HeadlessTally &tally)
{
    QJsonArray boards;
    for (const Attempt &attempt : tally.attempts) {
        boards.append(QJsonObject{{"port", attempt.port},
                                  {"outcome", attemptOutcomeName(attempt.outcome)},
                                  {"seconds", attemptSeconds(attempt)},
                                  {"log", attempt.logPath},
                                  {"reason", attempt.reason}});
    }
    QJsonObject outcomes;
    const std::array<int, OutcomeCount> counts = countOutcomes(tally.attempts);
    for (int i = 0; i < OutcomeCount; ++i)
        outcomes.insert(attemptOutcomeName(AttemptOutcome(i)), counts[size_t(i)]);
    const HeadlessExitCode code = headlessExitCode(tally);
    QJsonObject summary{
        {"exitCode", int(code)},      {"result", exitMeaning(code)},
        {"listed", tally.listed},     {"expected", tally.expected >= 0 ? QJsonValue(tally.expected) : QJsonValue()},
        {"timedOut", tally.timedOut}, {"interrupted", tally.interrupted},
        {"outcomes", outcomes},       {"boards", boards}};
    if (!tally.stationError.isEmpty())
        summary.insert(QStringLiteral("error"), tally.stationError);
    return QJsonDocument(summary).toJson(QJsonDocument::Compact) + '\n';
}

QString headlessProgressLine(int running, int finished, int failed, int slowestPercent)
{
    QString line = QStringLiteral("running %1, finished %2, failed %3").arg(running).arg(finished).arg(failed);
    if (running > 0 && slowestPercent >= 0)
        line += QStringLiteral(", slowest %1%").arg(slowestPercent);
    return line;
}

HeadlessRun::HeadlessRun(Widget &window, const HeadlessOptions &options, QIODevice *out, QIODevice *err,
                         bool showProgress)
    : m_window(&window)
    , m_options(options)
    , m_out(out)
    , m_err(err)
    , m_boxes(err, showProgress)
    , m_showProgress(showProgress)
{
    m_tally.expected = options.expect;
    connect(window.attemptSignals(), &AttemptSignals::attemptStarted, this, [this](const Attempt &attempt) {
        ++m_running[attempt.port];
    });
    connect(window.attemptSignals(), &AttemptSignals::attemptEnded, this, &HeadlessRun::onEnded);
    connect(window.attemptSignals(), &AttemptSignals::listingFinished, this, [this](bool succeeded) {
        m_listingFailed = !succeeded;
    });
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &HeadlessRun::stopForTimeout);
    m_progress.setInterval(250);
    connect(&m_progress, &QTimer::timeout, this, &HeadlessRun::showProgress);
}

HeadlessRun::~HeadlessRun() = default;

UnattendedMessageBoxes::UnattendedMessageBoxes(QIODevice *err, bool terminal, QObject *parent)
    : QObject(parent)
    , m_err(err)
    , m_terminal(terminal)
{
    qApp->installEventFilter(this);
}

UnattendedMessageBoxes::~UnattendedMessageBoxes()
{
    qApp->removeEventFilter(this);
}

bool UnattendedMessageBoxes::eventFilter(QObject *watched, QEvent *event)
{
    auto *box = event->type() == QEvent::Show ? qobject_cast<QMessageBox *>(watched) : nullptr;
    if (box) {
        if (m_terminal)
            m_err->write("\r\033[K");
        m_err->write(QStringLiteral("velmora: %1: %2\n").arg(box->windowTitle(), box->text()).toUtf8());
        if (auto *file = qobject_cast<QFile *>(m_err))
            file->flush();
        QMetaObject::invokeMethod(box, "done", Qt::QueuedConnection, Q_ARG(int, QMessageBox::Ok));
    }
    return QObject::eventFilter(watched, event);
}

void HeadlessRun::say(QIODevice *device, const QString &text)
{
    if (m_showProgress && device == m_err)
        device->write("\r\033[K");
    device->write(text.toUtf8() + '\n');
    if (auto *file = qobject_cast<QFile *>(device))
        file->flush();
}

HeadlessExitCode HeadlessRun::exec()
{
    if (m_options.timeoutSeconds >= 0)
        m_timeout.start(m_options.timeoutSeconds * 1000);
    if (prepare() && !m_stopping) {
        waitForFingerprint();
        if (!m_stopping)
            startAll();
    }
    if (m_started && !m_running.isEmpty()) {
        if (m_showProgress)
            m_progress.start();
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
    }
    m_progress.stop();
    m_timeout.stop();
    m_tally.interrupted = m_stopping && !m_tally.timedOut;
    if (m_showProgress)
        m_err->write("\r\033[K");
    if (!m_tally.stationError.isEmpty())
        say(m_err, QStringLiteral("velmora: ") + m_tally.stationError);
    say(m_out, m_options.json ? QString::fromUtf8(headlessJson(m_tally)).trimmed() : headlessSummary(m_tally));
    return headlessExitCode(m_tally);
}

// The station's checks, the listing and the boards' modes; false when
// nothing may be flashed.
bool HeadlessRun::prepare()
{
    const QFileInfo image(m_options.image);
    QFile imageFile(m_options.image);
    if (m_options.image.isEmpty())
        m_tally.stationError = QStringLiteral("no image given (--image PATH)");
    else if (!image.isFile() || !imageFile.open(QIODevice::ReadOnly))
        m_tally.stationError = QStringLiteral("the image %1 cannot be read").arg(m_options.image);
    else if (!QFileInfo(ToolContract::program()).isFile())
        m_tally.stationError = QStringLiteral("the flashing tool %1 is missing").arg(ToolContract::program());
    if (!m_tally.stationError.isEmpty())
        return false;
    m_window->findChild<QLineEdit *>(QStringLiteral("lineEdit_All"))->setText(image.absoluteFilePath());
    m_window->rescanDevices();
    // A listed board's row has an action button; a lost job's row has none.
    for (int row = 0; m_window->statusLabelAt(row); ++row)
        m_tally.listed += m_window->actionButtonAt(row) ? 1 : 0;
    if (m_listingFailed) {
        m_tally.stationError = QStringLiteral("the board listing failed");
        return false;
    }
    if (m_tally.expected >= 0 && m_tally.listed < m_tally.expected)
        return false;
    return setModes();
}

bool HeadlessRun::setModes()
{
    if (m_options.mode.isEmpty())
        return true;
    for (int row = 0; m_window->statusLabelAt(row); ++row) {
        QComboBox *combo = m_window->modeComboAt(row);
        if (!combo)
            continue;
        const int index = combo->findText(m_options.mode, Qt::MatchFixedString);
        if (index < 0) {
            m_tally.stationError = QStringLiteral("no mode %1 (--mode)").arg(m_options.mode);
            return false;
        }
        combo->setCurrentIndex(index);
    }
    return true;
}

void HeadlessRun::setImageFingerprint(ImageFingerprint *fingerprint)
{
    m_fingerprint = fingerprint;
}

void HeadlessRun::waitForFingerprint()
{
    if (!m_fingerprint)
        return;
    QEventLoop wait;
    connect(m_fingerprint, &ImageFingerprint::hashed, &wait, &QEventLoop::quit);
    connect(m_fingerprint, &ImageFingerprint::hashFailed, &wait, &QEventLoop::quit);
    // The form may have held this path already: then no change of it told
    // the fingerprint, and this look starts the hash.
    m_fingerprint->setImage(m_window->imagePath());
    if (m_fingerprint->expectedSha256().isEmpty() || !m_fingerprint->sha256().isEmpty())
        return;
    m_loop = &wait;
    wait.exec();
    m_loop = nullptr;
}

void HeadlessRun::startAll()
{
    m_started = true;
    QMetaObject::invokeMethod(m_window, "runAll");
}

void HeadlessRun::onEnded(const Attempt &attempt)
{
    auto running = m_running.find(attempt.port);
    if (running != m_running.end() && --running.value() <= 0)
        m_running.erase(running);
    m_tally.attempts << attempt;
    if (!m_options.json)
        say(m_out, headlessBoardLine(attempt));
    finishIfDone();
}

void HeadlessRun::finishIfDone()
{
    if (m_loop && m_running.isEmpty())
        m_loop->quit();
}

void HeadlessRun::stop()
{
    m_stopping = true;
    if (m_loop && !m_started)
        m_loop->quit(); // still waiting for the image's hash
    if (m_window && m_started)
        QMetaObject::invokeMethod(m_window, "stopAll");
}

void HeadlessRun::stopForTimeout()
{
    m_tally.timedOut = true;
    say(m_err, QStringLiteral("velmora: time-out after %1 s: every tool is stopped").arg(m_options.timeoutSeconds));
    stop();
}

void HeadlessRun::showProgress()
{
    const std::array<int, OutcomeCount> counts = countOutcomes(m_tally.attempts);
    int slowest = -1;
    for (auto it = m_running.cbegin(); it != m_running.cend(); ++it) {
        const int row = m_window->findRowByPath(it.key());
        const QProgressBar *bar = row >= 0 ? m_window->progressBarAt(row) : nullptr;
        if (bar && (slowest < 0 || bar->value() < slowest))
            slowest = qMax(0, bar->value());
    }
    const int failed = m_tally.attempts.size() - counts[size_t(AttemptOutcome::Finished)];
    m_err->write(
        "\r\033[K" +
        headlessProgressLine(m_running.size(), counts[size_t(AttemptOutcome::Finished)], failed, slowest).toUtf8());
    if (auto *file = qobject_cast<QFile *>(m_err))
        file->flush();
}

int runHeadless(Widget &window, const HeadlessOptions &options, TerminationSignals *termination,
                ImageFingerprint *fingerprint)
{
    QFile out;
    QFile err;
    out.open(stdout, QIODevice::WriteOnly);
    err.open(stderr, QIODevice::WriteOnly);
    HeadlessRun run(window, options, &out, &err, stderrIsTerminal());
    run.setImageFingerprint(fingerprint);
    if (termination)
        QObject::connect(termination, &TerminationSignals::received, &run, &HeadlessRun::stop);
    return int(run.exec());
}

void selectHeadlessPlatform()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
}

namespace {

QFile *debugFile = nullptr;

void debugToFile(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        if (debugFile && debugFile->isOpen())
            debugFile->write(message.toUtf8() + '\n');
        return;
    }
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

void sendDebugOutputTo(const QString &fileName)
{
    static QFile file(fileName);
    file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    debugFile = &file;
    qInstallMessageHandler(debugToFile);
}

void keepStandardOutputForResults()
{
    std::fflush(stdout);
#ifdef Q_OS_WIN
    _dup2(_fileno(stderr), _fileno(stdout));
#else
    dup2(fileno(stderr), fileno(stdout));
#endif
}
