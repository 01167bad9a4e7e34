#pragma once

#include "testplatform.h"

#include "flashing/jobdescriptors.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QDir>
#include <QTemporaryDir>

class FakeDeviceChangeSource;
class Widget;

// One run of the simulator, as its "log" scenario line records it.
struct ToolCall
{
    qint64 pid = 0;
    QStringList args;
};

// A temporary working directory that holds the simulator as the flashing
// tool, the script templates and a small image; the process works in it for
// the lifetime of the object. Windows made meanwhile get a
// FakeDeviceChangeSource (fakeDeviceSource()) instead of the platform's;
// setDeviceChangeSourceFactoryForTesting({}) gives them the real one. Their
// jobs' descriptors are watched as in the application (JobDescriptorWatch)
// when the application exists before the ToolDir.
class ToolDir
{
public:
    ToolDir();
    ~ToolDir();

    bool isValid() const { return m_valid; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return QDir(m_dir.path()).filePath(name); }

    // Replaces the simulator's scenario file.
    void writeScenario(const QByteArray &scenario);
    // Takes the tool away, or puts it back.
    void removeTool();
    void installTool();

    // A window opened on a scenario that logs every run of the simulator to
    // tool.log, with the sample image chosen. The caller owns it.
    Widget *openWindow(const QByteArray &scenario);
    // The runs logged so far.
    QVector<ToolCall> toolCalls() const;
    // Process id of the last flashing run of each port.
    QMap<QString, qint64> flashPids() const;

    QByteArray readFile(const QString &name) const;
    void writeFile(const QString &name, const QByteArray &content) const;

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
    JobDescriptorWatch m_jobDescriptorWatch;
    bool m_valid = false;
};

// The fake device-change source of a window opened while a ToolDir exists.
FakeDeviceChangeSource *fakeDeviceSource(Widget *window);

// Closes every modal message box that opens from now on, and counts them.
class MessageBoxCloser
{
public:
    MessageBoxCloser();
    ~MessageBoxCloser();
    int closedCount() const;
    QString lastText() const;

private:
    struct Private;
    Private *d;
};
