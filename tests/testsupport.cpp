#include "testsupport.h"
#include "app/widget.h"

#include "discovery/devicesourcefactory.h"
#include "discovery/fakedevicesource.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTest>
#include <QMessageBox>
#include <QLineEdit>
#include <QTimer>

ToolDir::ToolDir()
    : m_previousDir(QDir::currentPath())
{
    if (!m_dir.isValid())
        return;
    qunsetenv("UUU_SIM_SCENARIO");
    // Windows opened here hear only the plug events their test makes.
    setDeviceChangeSourceFactoryForTesting([](QObject *parent) {
        return new FakeDeviceChangeSource(parent);
    });
    QDir::setCurrent(m_dir.path());
    QDir(m_dir.path()).mkpath(QStringLiteral("scripts/emmc"));
    const QString templates = QStringLiteral(VELMORA_SOURCE_DIR "/scripts/emmc/");
    bool ok = true;
    for (const char *name : {"all_uuu.auto", "image_uuu.auto", "root_uuu.auto"})
        ok &= QFile::copy(templates + QLatin1String(name),
                          filePath(QStringLiteral("scripts/emmc/") + QLatin1String(name)));
    installTool();
    writeFile(QStringLiteral("sample.img"), QByteArray(4096, 'x'));
    m_valid = ok && QFile::exists(filePath(toolFileName()));
}

ToolDir::~ToolDir()
{
    setDeviceChangeSourceFactoryForTesting({});
    QDir::setCurrent(m_previousDir);
}

FakeDeviceChangeSource *fakeDeviceSource(Widget *window)
{
    return window->findChild<FakeDeviceChangeSource *>();
}

void ToolDir::writeScenario(const QByteArray &scenario)
{
    writeFile(QStringLiteral("uuu_scenario.txt"), scenario);
}

void ToolDir::removeTool()
{
    removeToolFile(filePath(toolFileName()));
}

void ToolDir::installTool()
{
    installSimulatorAs(QStringLiteral(VELMORA_SIM_PATH), filePath(toolFileName()));
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

QVector<QJsonObject> ToolDir::journalLines(bool lastMayBeTorn) const
{
    QVector<QJsonObject> lines;
    const QList<QByteArray> texts = readFile(QStringLiteral("logs/journal.jsonl")).split('\n');
    for (int i = 0; i < texts.size(); ++i) {
        const QJsonDocument line = QJsonDocument::fromJson(texts[i]);
        if (line.isObject())
            lines << line.object();
        else if (!(i == texts.size() - 1 && (lastMayBeTorn || texts[i].isEmpty())))
            QTest::qFail(texts[i].left(200).constData(), __FILE__, __LINE__);
    }
    return lines;
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
