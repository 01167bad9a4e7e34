// Fuzz target for writing a flashing script: decodeTemplate, imagePathProblem
// and renderScript on an arbitrary template and image path.
//
// Checked on every input:
//  - the decoded template is the UTF-8 text before the first NUL byte;
//  - imagePathProblem objects exactly to paths with a double quote, CR or LF;
//  - every "_file" is replaced, left to right and without searching the
//    inserted path again, by the path in double quotes;
//  - for an accepted path the script keeps its line breaks, and rendering it
//    line by line gives the same script, so the path neither ends its quoted
//    argument early nor adds a command.

#include "flashing/scripttext.h"
#include "fuzzsupport.h"

#include <QStringList>

namespace {

QString plainRender(const QString &templateText, const QString &imagePath)
{
    const QString placeholder = QStringLiteral("_file");
    QString out;
    int i = 0;
    while (i < templateText.size()) {
        if (templateText.midRef(i, placeholder.size()) == placeholder) {
            out += QLatin1Char('"') + imagePath + QLatin1Char('"');
            i += placeholder.size();
        } else {
            out += templateText.at(i);
            ++i;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const QString imagePath = QString::fromUtf8(input.bytes(input.byte()));
    const QByteArray templateBytes = input.rest();

    const QString templateText = decodeTemplate(templateBytes);
    FUZZ_CHECK(templateText == QString::fromUtf8(upToNul(templateBytes)));

    const bool unsafe = imagePath.contains(QLatin1Char('"')) || imagePath.contains(QLatin1Char('\n')) ||
                        imagePath.contains(QLatin1Char('\r'));
    FUZZ_CHECK(imagePathProblem(imagePath).isEmpty() == !unsafe);

    const QString script = renderScript(templateText, imagePath);
    FUZZ_CHECK(script == plainRender(templateText, imagePath));
    if (unsafe)
        return 0;

    FUZZ_CHECK(script.count(QLatin1Char('\n')) == templateText.count(QLatin1Char('\n')));
    FUZZ_CHECK(script.count(QLatin1Char('\r')) == templateText.count(QLatin1Char('\r')));
    QStringList lines = templateText.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = renderScript(line, imagePath);
    FUZZ_CHECK(lines.join(QLatin1Char('\n')) == script);
    return 0;
}
