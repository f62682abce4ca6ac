// The BIBO entry rule: the two sets of folder characters, the absolute-folder
// tests, and the matcher that finds an entry's folder in linear time.
#include "bibo_entry.h"

namespace {

const QLatin1String key("BIBOPATH");
const QLatin1String tail("BIBO");

// The characters entries have always been read with: space, colon, digits,
// the whole range A to z (which takes in the backslash and [ ] ^ _ `) and
// the Cyrillic letters А to я (without Ё and ё); under Posix rules the slash.
bool isNarrowFolderChar(QChar c, PathRules rules)
{
    const char16_t u = c.unicode();
    return u == u' ' || u == u':' || (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'z')
            || (u >= 0x0410 && u <= 0x044F) || (u == u'/' && rules == PathRules::Posix);
}

// Every character a Windows path may hold, less ; and =, which begin a
// comment or a value in a settings file.
bool isWideFolderChar(QChar c)
{
    const char16_t u = c.unicode();
    return u >= 0x20 && u != u'<' && u != u'>' && u != u'"' && u != u'|' && u != u'?' && u != u'*' && u != u';'
            && u != u'=';
}

char16_t charAt(QStringView text, qsizetype i)
{
    return i < text.size() ? text[i].unicode() : u'\0';
}

bool startsWithDrive(QStringView folder)
{
    const char16_t letter = charAt(folder, 0);
    return ((letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z')) && charAt(folder, 1) == u':';
}

// \\?\ and \\.\ name the system's own namespaces, which the main program's
// entries can't hold.
bool startsWithShare(QStringView folder)
{
    return charAt(folder, 0) == u'\\' && charAt(folder, 1) == u'\\'
            && !((charAt(folder, 2) == u'?' || charAt(folder, 2) == u'.') && charAt(folder, 3) == u'\\');
}

// Whether a folder read with the wide set names a place of its own: a drive
// (C:\ or C:/), a share, or under Posix rules a path from the root. A
// relative folder already follows the program folder, and a device path is
// no place of ours.
bool isAbsoluteEntryFolder(QStringView folder, PathRules rules)
{
    const bool driveRoot = startsWithDrive(folder) && (charAt(folder, 2) == u'\\' || charAt(folder, 2) == u'/');
    return driveRoot || startsWithShare(folder) || (rules == PathRules::Posix && charAt(folder, 0) == u'/');
}

struct Span
{
    qsizetype begin = -1;
    qsizetype end = -1;

    bool found() const { return begin >= 0; }
};

// Where the value of the key at `at` begins: after its digits and "=".
qsizetype valueStart(QStringView line, qsizetype at)
{
    qsizetype pos = at + key.size();
    const qsizetype digits = pos;
    while (pos < line.size() && line[pos].isDigit())
        ++pos;
    return pos > digits && pos < line.size() && line[pos] == u'=' ? pos + 1 : -1;
}

// The folder from begin up to the last "BIBO" that starts at from or later
// and ends by end. The tail's letters are in both sets, so a "BIBO" that can
// end the folder lies wholly inside the run of folder characters.
Span folderBefore(QStringView line, qsizetype begin, qsizetype from, qsizetype end)
{
    if (end - from < tail.size())
        return {};
    const qsizetype last = line.mid(from, end - from).lastIndexOf(tail);
    return last >= 0 ? Span{ begin, from + last } : Span{};
}

// Where the folder of the line's BIBO entry lies. The first match is the
// leftmost key whose run of narrow characters reaches a "BIBO" after at
// least one of them; where no key has one, the leftmost key whose run of
// wide characters does, if that folder is absolute. Each character is
// looked at a bounded number of times, whatever the line: a backtracking
// search would retry from every offset.
Span entryFolder(QStringView line, PathRules rules)
{
    Span wide;
    for (qsizetype at = line.indexOf(key); at >= 0; at = line.indexOf(key, at + 1)) {
        const qsizetype begin = valueStart(line, at);
        if (begin < 0)
            continue;
        qsizetype end = begin;
        while (end < line.size() && isNarrowFolderChar(line[end], rules))
            ++end;
        const Span narrow = folderBefore(line, begin, begin + 1, end);
        if (narrow.found())
            return narrow;
        if (wide.found())
            continue;
        // No "BIBO" ends within the narrow run, nor can one straddle its end.
        const qsizetype narrowEnd = end;
        while (end < line.size() && isWideFolderChar(line[end]))
            ++end;
        wide = folderBefore(line, begin, qMax(begin + 1, narrowEnd), end);
    }
    return wide.found() && isAbsoluteEntryFolder(line.mid(wide.begin, wide.end - wide.begin), rules) ? wide : Span{};
}

// One application of the rule: the line with its entry's folder replaced,
// or the line itself.
QString rebuiltOnce(const QString &line, const QString &launchFolder, PathRules rules)
{
    const Span folder = entryFolder(line, rules);
    if (!folder.found() || QStringView(line).mid(folder.begin, folder.end - folder.begin) == launchFolder)
        return line;
    return line.left(folder.begin) + launchFolder + line.mid(folder.end);
}

} // namespace

QString rewriteBiboEntry(const QString &line, const QString &launchFolder, PathRules rules)
{
    const QString rebuilt = rebuiltOnce(line, launchFolder, rules);
    // A launch folder holding "BIBO" before a character that ends the
    // narrow run would be read back as a shorter folder, and the entry would
    // grow at every start: only a rewrite that the next start leaves alone
    // counts.
    if (rebuilt != line && rebuiltOnce(rebuilt, launchFolder, rules) != rebuilt)
        return line;
    return rebuilt;
}

bool isAbsoluteFolder(QStringView folder, PathRules rules)
{
    const bool driveRoot = startsWithDrive(folder) && charAt(folder, 2) == u'\\';
    return driveRoot || startsWithShare(folder) || (rules == PathRules::Posix && charAt(folder, 0) == u'/');
}
