// The two spellings of a full Windows path, with the \\?\ prefix and without.
#include "path_forms.h"

namespace {

const QLatin1String longPrefix("\\\\?\\");
const QLatin1String longUncPrefix("\\\\?\\UNC\\");
const QLatin1String devicePrefix("\\\\.\\");
const QLatin1String uncPrefix("\\\\");

} // namespace

namespace pathforms {

QString withPrefix(const QString &fullPath)
{
    if (fullPath.startsWith(longPrefix) || fullPath.startsWith(devicePrefix))
        return fullPath;
    if (fullPath.startsWith(uncPrefix))
        return longUncPrefix + fullPath.mid(uncPrefix.size());
    return longPrefix + fullPath;
}

QString withoutPrefix(const QString &path)
{
    if (path.startsWith(longUncPrefix, Qt::CaseInsensitive))
        return uncPrefix + path.mid(longUncPrefix.size());
    // Only a drive's path has a plain form: \\?\Volume{...}\ has none.
    const bool drive = path.size() > 5 && path.startsWith(longPrefix) && path.at(5) == u':' && path.at(4).isLetter();
    return drive ? path.mid(longPrefix.size()) : path;
}

} // namespace pathforms
