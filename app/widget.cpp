#include "app/widget.h"
#include "ui_widget.h"

#include "discovery/devicechangefilter.h"
#include "discovery/devicechangesource.h"
#include "discovery/devicesourcefactory.h"
#include "discovery/rescanscheduler.h"
#include "discovery/toolprocess.h"
#include "flashing/attemptsignals.h"
#include "flashing/flashprocess.h"

#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QProcess>
#include <QTextStream>

// The embedded images live in the static library; make sure they are linked
// in and registered before the form asks for them.
static void registerResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(res);
        return true;
    }();
    Q_UNUSED(registered)
}

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Widget)
    , announcements(new AttemptSignals(this))
{
    registerResources();
    ui->setupUi(this);

    ui->tableWidget->setColumnCount(10);
    ui->tableWidget->setHorizontalHeaderLabels(
        {QStringLiteral("Path"), QStringLiteral("Chip"), QStringLiteral("Pro"), QStringLiteral("Vid"),
         QStringLiteral("Pid"), QStringLiteral("BcdVersion"), QStringLiteral("Mode"), QStringLiteral("Status"),
         QStringLiteral("Action"), QStringLiteral("Progress")});
    ui->tableWidget->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    ui->tableWidget->resizeRowsToContents();
    ui->startAllButton->setEnabled(false);
    ui->stopAllButton->setEnabled(false);
    ui->cBoxDevice->addItem(tr("EMMC"));

    // Any change of the table, by us or by an operator's edit of a path cell,
    // makes the path index stale.
    QAbstractItemModel *model = ui->tableWidget->model();
    const auto invalidate = [this] {
        rowIndexValid = false;
    };
    connect(model, &QAbstractItemModel::rowsInserted, this, invalidate);
    connect(model, &QAbstractItemModel::rowsRemoved, this, invalidate);
    connect(model, &QAbstractItemModel::rowsMoved, this, invalidate);
    connect(model, &QAbstractItemModel::modelReset, this, invalidate);
    connect(model, &QAbstractItemModel::layoutChanged, this, invalidate);
    connect(model, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex &topLeft) {
        if (topLeft.column() == 0)
            rowIndexValid = false;
    });

    connect(ui->tBtnSelectAll, SIGNAL(clicked(bool)), this, SLOT(doSelectAllFile()));
    connect(ui->toolButton_rst, &QToolButton::clicked, this, &Widget::resetFailedDevice);
    connect(ui->listButton, SIGNAL(clicked()), this, SLOT(listdevices()));
    connect(ui->startAllButton, SIGNAL(clicked()), this, SLOT(runAll()));
    connect(ui->stopAllButton, SIGNAL(clicked()), this, SLOT(stopAll()));
    connect(ui->lineEdit_All, &QLineEdit::textChanged, announcements, &AttemptSignals::imagePathChanged);

    registerDeviceNotifications();
    rescanDevices();
    updateButtonStates();
    updateDeviceCountLineEdit();
}

Widget::~Widget()
{
    doProcessFinished();
    // The table outlives this destructor (the QWidget base deletes it) and
    // signals its end to the path-index handlers: detach them first.
    disconnect(ui->tableWidget->model(), nullptr, this, nullptr);
    delete deviceSource;
    deviceSource = nullptr;
    stopAllChildrenForExit();
    delete ui;
    ui = nullptr;
    failedDevices.clear();
    logFileMap.clear();
    logStreamMap.clear();
    processMap.clear();
    awaitingOkayMap.clear();
}

void Widget::stopAllChildrenForExit()
{
    // Every job still registered ends with the window.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QProcess *registered : qAsConst(processMap)) {
        if (!registered)
            continue;
        const auto *job = static_cast<const FlashProcess *>(registered);
        Attempt attempt = job->attempt();
        if (!job->endDecided()) {
            attempt.outcome = AttemptOutcome::Stopped;
            attempt.reason = QStringLiteral("Velmora ended");
        }
        attempt.ended = now;
        attempt.progress = job->lastPercent;
        emit announcements->attemptEnded(attempt);
    }
    // No job handler may run from here on: they would touch released state.
    const QList<QProcess *> processes = findChildren<QProcess *>(QString(), Qt::FindDirectChildrenOnly);
    for (QProcess *process : processes) {
        disconnect(process, nullptr, this, nullptr);
        disconnect(process, nullptr, process, nullptr);
        static_cast<ToolProcess *>(process)->killChild();
    }
    // Reap every child, so that none outlives the window.
    for (QProcess *process : processes) {
        if (process->state() != QProcess::NotRunning)
            process->waitForFinished(5000);
        static_cast<ToolProcess *>(process)->markNotRunning();
    }
    // What the tools left behind came back to Velmora as they ended.
    ToolProcess::endAdoptedProcesses(3000);
    for (QTextStream *stream : qAsConst(logStreamMap))
        delete stream;
    logStreamMap.clear();
    for (QFile *file : qAsConst(logFileMap)) {
        file->close();
        delete file;
    }
    logFileMap.clear();
    qDeleteAll(processes);
    processMap.clear();
}

QString Widget::imagePath() const
{
    return ui->lineEdit_All->text();
}

void Widget::setImagePath(const QString &path)
{
    ui->lineEdit_All->setText(path);
}

int Widget::rowCount() const
{
    return ui->tableWidget->rowCount();
}

StartRefusal Widget::checkStart() const
{
    return startCheck ? startCheck(imagePath()) : StartRefusal();
}

int Widget::runningJobCount() const
{
    int running = 0;
    for (const QProcess *process : processMap) {
        if (process && process->state() != QProcess::NotRunning)
            ++running;
    }
    return running;
}

void Widget::setStartCheck(StartCheck check)
{
    startCheck = std::move(check);
}

void Widget::resetFailedDevice()
{
    failedDevices.clear();
    updateDeviceCountLineEdit();
}

void Widget::registerDeviceNotifications()
{
    rescanScheduler = new RescanScheduler(
        [this] {
            rescanDevices();
            updateDeviceCountLineEdit();
        },
        [this] {
            if (deviceSource)
                deviceSource->drainPending();
        },
        this);
    deviceSource = createDeviceChangeSource(this);
    if (deviceSource)
        connect(deviceSource, &DeviceChangeSource::deviceChanged, this, &Widget::onDeviceChange);
}

void Widget::onDeviceChange(const DeviceChangeEvent &event)
{
    if (shouldRescanOnDeviceChange(event))
        rescanScheduler->request();
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
bool Widget::nativeEvent(const QByteArray &eventType, void *message, qintptr *result)
#else
bool Widget::nativeEvent(const QByteArray &eventType, void *message, long *result)
#endif
{
    Q_UNUSED(result)
    // The window's messages carry Windows' device notifications.
    if (deviceSource)
        deviceSource->handleNativeMessage(eventType, message);
    return false;
}
