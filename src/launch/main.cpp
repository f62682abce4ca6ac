#include "bibo_rewrite.h"
#include "launch.h"
#include "platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

// The launcher has no configuration: logging rules from the environment or a
// qtlogging.ini must not silence its messages.
static void keepDebugOutput(QLoggingCategory *category)
{
    category->setEnabled(QtDebugMsg, true);
}

// The filter is installed only on the way to a message: installing it sets up
// Qt's logging, which looks for rule files, a cost every start would pay.
static int fail(const char *message)
{
    QLoggingCategory::installFilter(keepDebugOutput);
    qDebug("%s", message);
    return 1;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    platform::prepareProcess();

    const PathRules rules = platform::pathRules();
    const QString launchFolder = launchFolderOf(platform::ownPath(argc, argv), rules);

    // Only a regular file (or a link to one) counts: a FIFO would block the
    // open, a device would never end.
    QFile settingsFile(launchFolder + QLatin1String("VELNOR.INI"));
    if (!QFileInfo(settingsFile).isFile() || !settingsFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return fail("File VELNOR.INI not open.");
    }
    rewriteBiboPaths(settingsFile, launchFolder, rules);
    settingsFile.close();

    if (!platform::startDetached(QStringLiteral("velnor.exe")))
        return fail("velnor.exe not started.");
    return 0;
}
