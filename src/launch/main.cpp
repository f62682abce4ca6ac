#include "bibo_rewrite.h"
#include "launch.h"
#include "platform.h"
#include "temporary_files.h"

#include <QCoreApplication>
#include <QFile>

// Straight to the message handler (Qt's own unless the platform installed
// one): the launcher has no configuration, so no logging rule from the
// environment or a qtlogging.ini may silence its messages, and setting up
// those rules would look for rule files, on Windows through the shell.
static int fail(const char *message)
{
    const QtMessageHandler handler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(handler);
    handler(QtDebugMsg, QMessageLogContext(), QString::fromLatin1(message));
    return 1;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    platform::prepareProcess();

    const PathRules rules = platform::pathRules();
    const QString launchFolder = launchFolderOf(platform::ownPath(argc, argv), rules);

    // Without VELNOR.INI, a replacement cut short may have left the complete
    // new file under its own name. Whether this start puts it back or
    // another one at the same moment does, the file is there to open.
    const QString settingsName = launchFolder + QLatin1String("VELNOR.INI");
    std::unique_ptr<QFile> settingsFile = platform::openForReading(settingsName);
    if (!settingsFile) {
        platform::restoreInterruptedReplacement(settingsName);
        settingsFile = platform::openForReading(settingsName);
    }
    if (!settingsFile)
        return fail("File VELNOR.INI not open.");
    rewriteBiboPaths(*settingsFile, launchFolder, rules);
    settingsFile->close();

    if (!platform::startDetached(QStringLiteral("velnor.exe")))
        return fail("velnor.exe not started.");
    return 0;
}
