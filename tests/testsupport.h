#pragma once

#include <QString>
#include <QDir>
#include <QTemporaryDir>

class QWidget;

// A temporary working directory that holds the simulator as the flashing
// tool, the script templates and a small image; the process works in it for
// the lifetime of the object.
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

    QByteArray readFile(const QString &name) const;
    void writeFile(const QString &name, const QByteArray &content) const;

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
    bool m_valid = false;
};

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
