#include "app/widget.h"
#include "ui_widget.h"

#include "flashing/flashprocess.h"
#include "flashing/scripttext.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSaveFile>

namespace {

bool fileHolds(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) && file.size() == bytes.size() && file.readAll() == bytes;
}

} // namespace

void Widget::doSelectAllFile()
{
    ui->lineEdit_All->setText(
        QFileDialog::getOpenFileName(nullptr, tr("File"), QStringLiteral("."), QStringLiteral("*.*")));
}

bool Widget::generateScript(const QString &deviceMode, QString *scriptFile)
{
    scriptWriteError.clear();
    const QString imagePath = this->imagePath();
    if (imagePath.isEmpty()) {
        QMessageBox::critical(this, tr("Error"), tr("Please select a Image file!"), QMessageBox::Ok);
        return false;
    }
    const QString problem = imagePathProblem(imagePath);
    if (!problem.isEmpty()) {
        QMessageBox::critical(this, tr("Error"), problem, QMessageBox::Ok);
        return false;
    }

    QFile templateFile(scriptTemplateForMode(deviceMode));
    if (!templateFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        // A template that is missing or unreadable is the installation's
        // matter; running out of descriptors is a failure of this job.
        if (templateFile.error() == QFileDevice::ResourceError)
            scriptWriteError = templateFile.errorString();
        return false;
    }
    const QString templateText = decodeTemplate(templateFile.readAll());
    templateFile.close();
    QByteArray script = renderScript(templateText, imagePath).toUtf8();
#ifdef Q_OS_WIN
    script.replace("\n", "\r\n");
#endif

    const QString name = scriptFileFor(deviceMode, script);
    // A tool may be reading the file: an identical one is left alone, another
    // one replaced in a single rename, never in place.
    if (!fileHolds(name, script) && !writeScriptFile(name, script))
        return false;
    if (name != generatedScriptForMode(deviceMode))
        ownJobScripts.insert(name);
    if (scriptFile)
        *scriptFile = name;
    return true;
}

QString Widget::scriptFileFor(const QString &deviceMode, const QByteArray &script) const
{
    QString shared = generatedScriptForMode(deviceMode);
    QSet<QString> inUse;
    for (const QProcess *process : processMap) {
        if (process)
            inUse.insert(static_cast<const FlashProcess *>(process)->scriptFile);
    }
    if (!inUse.contains(shared) || fileHolds(shared, script))
        return shared;
    // A tool may read its script long after its start (once its board
    // answers): the running jobs' script stays, this job gets one of its own.
    int number = 1;
    while (inUse.contains(jobScriptName(shared, number)))
        ++number;
    return jobScriptName(shared, number);
}

bool Widget::writeScriptFile(const QString &name, const QByteArray &script)
{
    QSaveFile output(name);
    // The bytes are buffered: a full disk shows only when they are flushed,
    // and commit() would not say so but put an empty file in place.
    if (output.open(QIODevice::WriteOnly) && output.write(script) == script.size() && output.flush() && output.commit())
        return true;
    scriptWriteError = QStringLiteral("cannot write %1: %2").arg(name, output.errorString());
    return false;
}

void Widget::releaseJobScript(const QString &scriptFile)
{
    if (!ownJobScripts.contains(scriptFile))
        return;
    for (const QProcess *process : qAsConst(processMap)) {
        if (process && static_cast<const FlashProcess *>(process)->scriptFile == scriptFile)
            return;
    }
    if (QFile::remove(scriptFile))
        ownJobScripts.remove(scriptFile);
}
