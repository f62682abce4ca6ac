// Rewrites a settings file exactly as start.exe does, with another program's
// save of the file made at the last moment before the replacement, which a
// whole start can't time:
//   rewrite_probe FILE FOLDER [THEIRS]
// THEIRS names a file whose bytes are then written over FILE in place.
#include "bibo_rewrite.h"
#include "bibo_rewrite_hook.h"

#include <QFile>

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    QFile settings(QString::fromLocal8Bit(argv[1]));
    if (!settings.open(QIODevice::ReadOnly | QIODevice::Text))
        return 1;
    const QString theirs = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    setBeforeReplacing([&] {
        if (theirs.isEmpty())
            return;
        QFile source(theirs), target(settings.fileName());
        if (source.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly))
            target.write(source.readAll());
    });
    rewriteBiboPaths(settings, QString::fromLocal8Bit(argv[2]), PathRules::Windows);
    return 0;
}
