#include "widget.h"
#include "ui_widget.h"

#include "scriptgenerator.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSaveFile>

void Widget::doSelectAllFile()
{
    ui->lineEdit_All->setText(
        QFileDialog::getOpenFileName(nullptr, tr("File"), QStringLiteral("."), QStringLiteral("*.*")));
}

bool Widget::generateScript(const QString &deviceMode)
{
    scriptWriteError.clear();
    const QString imagePath = ui->lineEdit_All->text();
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

    const QString scriptName = generatedScriptForMode(deviceMode);
    QByteArray script = renderScript(templateText, imagePath).toUtf8();
#ifdef Q_OS_WIN
    script.replace("\n", "\r\n");
#endif

    // Running tools may be reading the current script: leave an identical one
    // alone, and replace a different one in a single rename, never in place.
    QFile current(scriptName);
    if (current.open(QIODevice::ReadOnly) && current.size() == script.size() && current.readAll() == script)
        return true;
    current.close();

    return writeScriptFile(scriptName, script);
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
