// The names of the replacement's files beside the settings file (made, then
// complete), the removal of those that killed starts left behind, and the
// return of a complete one that lost its way; the same on both platforms.
#include "temporary_files.h"
#include "launcher_numbers.h"
#include "platform.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>

namespace {

// No user names a copy the way launcher_numbers.h names the new file, so a
// leftover can be told from a VELNOR.INI.bak or VELNOR.INI.1.
const QLatin1String marker(numbers::temporaryMarker);
const QLatin1String suffix(numbers::temporarySuffix);
const QLatin1String completeSuffix(numbers::completeSuffix);
constexpr int randomDigits = numbers::randomDigits;

bool isBase36Digit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z');
}

// Whether candidate is a name of the launcher's for a new version of the
// file named fileName, with the given ending (both names without their
// folder). Without case where the platform's names have none: the new
// file's name is made from the name the system gives back for the file.
bool isOwnNameOf(const QString &fileName, QStringView candidate, QLatin1String ending)
{
    const Qt::CaseSensitivity cs = platform::fileNameCase();
    const qsizetype prefix = fileName.size() + marker.size();
    const auto isDigit = [cs](QChar c) { return isBase36Digit(cs == Qt::CaseInsensitive ? c.toLower() : c); };
    return candidate.size() == prefix + randomDigits + ending.size() && candidate.startsWith(fileName, cs)
            && candidate.mid(fileName.size()).startsWith(marker, cs) && candidate.endsWith(ending, cs)
            && std::all_of(candidate.begin() + prefix, candidate.begin() + prefix + randomDigits, isDigit);
}

// Every file of the launcher's own for a new version of fileName, hidden or
// system ones too: a new file takes the original's attributes.
template <typename Visit>
void forEachOwnFile(const QString &fileName, Visit visit)
{
    const QFileInfo file(fileName);
    const QString name = file.fileName();
    QDirIterator entries(file.absolutePath(), QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    while (entries.hasNext()) {
        entries.next();
        const QString candidate = entries.fileName();
        if (isOwnNameOf(name, candidate, suffix) || isOwnNameOf(name, candidate, completeSuffix))
            visit(entries.fileInfo(), candidate.endsWith(completeSuffix));
    }
}

} // namespace

namespace platform {

QString temporaryNameFor(const QString &fileName)
{
    const QString random = QString::number(QRandomGenerator::system()->generate64(), 36);
    return fileName + marker + QString(randomDigits - random.size(), u'0') + random + suffix;
}

QString completeNameFor(const QString &temporaryName)
{
    return temporaryName.chopped(suffix.size()) + completeSuffix;
}

bool makeUnderFreshName(const QString &fileName, const std::function<FreshName(const QString &temporaryName)> &make)
{
    for (int attempt = 0; attempt < numbers::freshNameAttempts; ++attempt) {
        const FreshName made = make(temporaryNameFor(fileName));
        if (made != FreshName::Taken)
            return made == FreshName::Made;
    }
    return false;
}

void removeStaleTemporaries(const QString &fileName)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    forEachOwnFile(fileName, [&now](const QFileInfo &file, bool) {
        if (file.lastModified().secsTo(now) > numbers::leftoverAgeSeconds)
            QFile::remove(file.filePath());
    });
}

void restoreInterruptedReplacement(const QString &fileName)
{
    // Two complete files would be two starts cut short at once: which one
    // is newer can't be told for sure, so neither is chosen.
    QStringList complete;
    forEachOwnFile(fileName, [&complete](const QFileInfo &file, bool isComplete) {
        if (isComplete)
            complete << file.filePath();
    });
    // The name the file was made for, in the case the system gave it.
    if (complete.size() == 1) {
        const QString &made = complete.first();
        renameWithoutReplacing(made, made.chopped(marker.size() + randomDigits + completeSuffix.size()));
    }
}

} // namespace platform
