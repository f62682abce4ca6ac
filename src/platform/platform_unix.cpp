// The Linux process's own setup and its own path, and the helpers the Linux
// side shares.
#include "platform.h"
#include "platform_unix.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>

namespace {

void (*inheritedFileSizeSignal)(int) = SIG_DFL;

void writeToStandardError(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = message.toLocal8Bit() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

} // namespace

namespace platform {

bool fileSizeSignalWasDefault()
{
    return inheritedFileSizeSignal == SIG_DFL;
}

PathRules pathRules()
{
    return PathRules::Posix;
}

Qt::CaseSensitivity fileNameCase()
{
    return Qt::CaseSensitive;
}

void prepareProcess()
{
    // Writing past the file-size limit then fails like a full disk, and the
    // settings file is left as it was, instead of the signal ending us.
    inheritedFileSizeSignal = std::signal(SIGXFSZ, SIG_IGN);
    // Qt may send debug output to the journal when stderr is no terminal.
    qInstallMessageHandler(writeToStandardError);
}

QString ownPath(int argc, char *argv[])
{
    return QFile::decodeName(argc > 0 ? argv[0] : "");
}

} // namespace platform
