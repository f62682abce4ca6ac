#include "launch.h"

QString launchFolderOf(const QString &path, PathRules rules)
{
    qsizetype separator = path.lastIndexOf(u'\\');
    if (rules == PathRules::Posix)
        separator = qMax(separator, qsizetype(path.lastIndexOf(u'/')));
    if (separator < 0 || separator == path.size() - 1)
        return QString();
    return path.left(separator + 1);
}
