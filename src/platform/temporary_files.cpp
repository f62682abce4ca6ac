// The names of the replacement's temporary files, and the removal of those
// that killed starts left behind; the same on both platforms.
#include "platform.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>

namespace {

// "VELNOR.INI.start-<13 base-36 digits>.tmp": no user names a copy that
// way, so a leftover can be told from a VELNOR.INI.bak or VELNOR.INI.1.
const QLatin1String marker(".start-");
const QLatin1String suffix(".tmp");
constexpr int randomDigits = 13; // a 64-bit number in base 36

// A running launcher writes its file within seconds; one this old belongs
// to a start that was killed or lost its power.
constexpr qint64 staleAfterSeconds = 10 * 60;

bool isBase36Digit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z');
}

// Whether candidate is a temporary name for the file named fileName (both
// without their folder).
bool isTemporaryNameOf(const QString &fileName, QStringView candidate)
{
    const qsizetype prefix = fileName.size() + marker.size();
    return candidate.size() == prefix + randomDigits + suffix.size() && candidate.startsWith(fileName)
            && candidate.mid(fileName.size()).startsWith(marker) && candidate.endsWith(suffix)
            && std::all_of(candidate.begin() + prefix, candidate.begin() + prefix + randomDigits, isBase36Digit);
}

} // namespace

namespace platform {

QString temporaryNameFor(const QString &fileName)
{
    const QString random = QString::number(QRandomGenerator::system()->generate64(), 36);
    return fileName + marker + QString(randomDigits - random.size(), u'0') + random + suffix;
}

void removeStaleTemporaries(const QString &fileName)
{
    const QFileInfo file(fileName);
    const QString name = file.fileName();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // A leftover may be hidden or a system file: it took the original's attributes.
    QDirIterator entries(file.absolutePath(), QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    while (entries.hasNext()) {
        entries.next();
        if (isTemporaryNameOf(name, entries.fileName())
            && entries.fileInfo().lastModified().secsTo(now) > staleAfterSeconds) {
            QFile::remove(entries.filePath());
        }
    }
}

} // namespace platform
