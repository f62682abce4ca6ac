#include "platform.h"
#include "text_encoding.h"

#include <QFileDevice>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTextCodec>

namespace platform {

PathRules pathRules()
{
    return PathRules::Windows;
}

void prepareProcess()
{
    // The main program's settings and the command line's 8-bit text are
    // Windows-1251, whatever the system's own code page.
    if (QTextCodec *codec = windows1251Codec())
        QTextCodec::setCodecForLocale(codec);
}

QString decodeOwnPath(const char *argument)
{
    return QString::fromLocal8Bit(argument);
}

bool startDetached(const QString &programName)
{
    // Without a folder the system's own search runs, and it looks in the
    // launcher's folder first.
    return QProcess::startDetached(programName, QStringList());
}

bool keepAccess(const QFileDevice &, QFileDevice &)
{
    // The replacing rename keeps what Windows needs; a read-only file is
    // never replaced.
    return true;
}

} // namespace platform
