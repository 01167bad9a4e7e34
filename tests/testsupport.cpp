#include "testsupport.h"
#include "widget.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMessageBox>
#include <QLineEdit>
#include <QTimer>

#include <csignal>
#include <dirent.h>
#include <unistd.h>

ToolDir::ToolDir()
    : m_previousDir(QDir::currentPath())
{
    if (!m_dir.isValid())
        return;
    qunsetenv("UUU_SIM_SCENARIO");
    QDir::setCurrent(m_dir.path());
    QDir(m_dir.path()).mkpath(QStringLiteral("scripts/emmc"));
    const QString templates = QStringLiteral(VELMORA_SOURCE_DIR "/scripts/emmc/");
    bool ok = true;
    for (const char *name : {"all_uuu.auto", "image_uuu.auto", "root_uuu.auto"})
        ok &= QFile::copy(templates + QLatin1String(name),
                          filePath(QStringLiteral("scripts/emmc/") + QLatin1String(name)));
    installTool();
    writeFile(QStringLiteral("sample.img"), QByteArray(4096, 'x'));
    m_valid = ok && QFile::exists(filePath(QStringLiteral("uuu")));
}

ToolDir::~ToolDir()
{
    QDir::setCurrent(m_previousDir);
}

void ToolDir::writeScenario(const QByteArray &scenario)
{
    writeFile(QStringLiteral("uuu_scenario.txt"), scenario);
}

void ToolDir::removeTool()
{
    QFile::remove(filePath(QStringLiteral("uuu")));
}

void ToolDir::installTool()
{
    QFile::remove(filePath(QStringLiteral("uuu")));
    QFile::link(QStringLiteral(VELMORA_SIM_PATH), filePath(QStringLiteral("uuu")));
}

bool processAlive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

QList<int> childPids()
{
    QList<int> pids;
    const int self = int(::getpid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == self)
            pids << pid;
    }
    return pids;
}

bool inOwnPidNamespace()
{
    if (::getppid() != 1 || ::getpid() > 16)
        return false;
    int processes = 0;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    while (const dirent *entry = ::readdir(proc)) {
        bool numeric = false;
        QByteArray(entry->d_name).toInt(&numeric);
        processes += numeric ? 1 : 0;
    }
    ::closedir(proc);
    return processes <= 3;
}

bool logHeldOpen()
{
    QDirIterator fds(QStringLiteral("/proc/self/fd"), QDir::System | QDir::NoDotAndDotDot);
    while (fds.hasNext()) {
        fds.next();
        if (fds.fileInfo().symLinkTarget().contains(QLatin1String("_log.txt")))
            return true;
    }
    return false;
}

QString writableUeventDevice()
{
    if (::geteuid() != 0)
        return QString();
    const QString base = QStringLiteral("/sys/class/tty/");
    for (const QString &name : QDir(base).entryList({QStringLiteral("ttyS*")}, QDir::AllEntries | QDir::System)) {
        if (raiseUevent(base + name, "change"))
            return base + name;
    }
    return QString();
}

bool raiseUevent(const QString &sysPath, const char *action)
{
    QFile file(sysPath + QStringLiteral("/uevent"));
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(action) == qint64(qstrlen(action));
}

Widget *ToolDir::openWindow(const QByteArray &scenario)
{
    writeScenario("log tool.log\n" + scenario);
    auto *window = new Widget;
    window->findChild<QLineEdit *>(QStringLiteral("lineEdit_All"))->setText(filePath(QStringLiteral("sample.img")));
    return window;
}

QVector<ToolCall> ToolDir::toolCalls() const
{
    QVector<ToolCall> calls;
    for (const QByteArray &line : readFile(QStringLiteral("tool.log")).split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 4)
            continue;
        ToolCall call;
        call.pid = fields.at(1).toLongLong();
        for (int i = 3; i < fields.size(); ++i)
            call.args << QString::fromUtf8(fields.at(i));
        calls << call;
    }
    return calls;
}

QMap<QString, qint64> ToolDir::flashPids() const
{
    QMap<QString, qint64> pids;
    for (const ToolCall &call : toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d"))
            pids.insert(call.args.value(2), call.pid);
    }
    return pids;
}

QByteArray ToolDir::readFile(const QString &name) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void ToolDir::writeFile(const QString &name, const QByteArray &content) const
{
    QFile file(filePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

struct MessageBoxCloser::Private
{
    QTimer timer;
    int closed = 0;
    QString lastText;
};

MessageBoxCloser::MessageBoxCloser()
    : d(new Private)
{
    d->timer.setInterval(20);
    QObject::connect(&d->timer, &QTimer::timeout, [this] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            d->lastText = box->text();
            ++d->closed;
            box->done(QMessageBox::Ok);
        }
    });
    d->timer.start();
}

MessageBoxCloser::~MessageBoxCloser()
{
    delete d;
}

int MessageBoxCloser::closedCount() const
{
    return d->closed;
}

QString MessageBoxCloser::lastText() const
{
    return d->lastText;
}
