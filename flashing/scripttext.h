#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Script template read for a device mode: "Kernel" and "FileSystem" have their
// own, every other mode (including "Image" and "") uses the whole-image one.
QString scriptTemplateForMode(const QString &deviceMode);

// Generated script written for a device mode, in the working directory.
QString generatedScriptForMode(const QString &deviceMode);

// The script of one job whose mode's generated script is in use with other
// content: the generated script's name with the number before ".auto"
// ("all_uuu_temp.auto", 2 gives "all_uuu_temp.2.auto").
QString jobScriptName(const QString &generatedScript, int number);

// Every temporary script name that the clean-up at exit removes.
QStringList temporaryScriptNames();

// Template text: UTF-8 up to the first NUL byte.
QString decodeTemplate(const QByteArray &bytes);

// The template with every "_file" (case-sensitive, also inside longer words)
// replaced by the image path in double quotes, in one left-to-right pass.
QString renderScript(const QString &templateText, const QString &imagePath);

// Why an image path cannot be put into a script, or an empty string when it
// can. A double quote would end the quoted argument early, a line break
// would start a new script command.
QString imagePathProblem(const QString &imagePath);
