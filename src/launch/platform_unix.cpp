#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>

namespace {

void writeToStandardError(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = message.toLocal8Bit() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

// PATH without its relative entries: an empty or relative entry would search
// the working directory.
QStringList absoluteSearchPath()
{
    QStringList folders;
    const QString path = QFile::decodeName(qgetenv("PATH"));
    for (const QString &folder : path.split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(folder))
            folders += folder;
    }
    return folders;
}

} // namespace

namespace platform {

PathRules pathRules()
{
    return PathRules::Posix;
}

void prepareProcess()
{
    // Writing past the file-size limit then fails like a full disk, and the
    // settings file is left as it was, instead of the signal ending us.
    std::signal(SIGXFSZ, SIG_IGN);
    // Qt may send debug output to the journal when stderr is no terminal.
    qInstallMessageHandler(writeToStandardError);
}

QString decodeOwnPath(const char *argument)
{
    return QFile::decodeName(argument);
}

bool startDetached(const QString &programName)
{
    // The program beside the launcher's executable (as the system reports it,
    // whatever argv[0] says) comes first, then PATH; never the working directory.
    QString program = QCoreApplication::applicationDirPath() + u'/' + programName;
    const QFileInfo beside(program);
    if (!beside.isFile() || !beside.isExecutable()) {
        const QStringList folders = absoluteSearchPath();
        program = folders.isEmpty() ? QString() : QStandardPaths::findExecutable(programName, folders);
    }
    if (program.isEmpty())
        return false;
    QProcess process;
    process.setProgram(program);
    return process.startDetached();
}

} // namespace platform
