#include "bibo_rewrite.h"
#include "launch.h"
#include "platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

// The launcher has no configuration: logging rules from the environment or a
// qtlogging.ini must not silence its one message.
static void keepDebugOutput(QLoggingCategory *category)
{
    category->setEnabled(QtDebugMsg, true);
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    platform::prepareProcess();
    QLoggingCategory::installFilter(keepDebugOutput);

    const PathRules rules = platform::pathRules();
    const QString launchFolder = launchFolderOf(platform::decodeOwnPath(argc > 0 ? argv[0] : ""), rules);

    // Only a regular file (or a link to one) counts: a FIFO would block the
    // open, a device would never end.
    QFile settingsFile(launchFolder + QLatin1String("VELNOR.INI"));
    if (!QFileInfo(settingsFile).isFile() || !settingsFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug("File VELNOR.INI not open.");
        return 1;
    }
    rewriteBiboPaths(settingsFile, launchFolder, rules);
    settingsFile.close();

    if (!platform::startDetached(QStringLiteral("velnor.exe"))) {
        qDebug("velnor.exe not started.");
        return 1;
    }
    return 0;
}
