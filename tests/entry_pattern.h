// The BIBO entry rule written as regular expressions with Qt's QRegExp: a
// reference that shares nothing with the launcher's linear matcher, for the
// unit tests and the fuzzer.
#ifndef ENTRY_PATTERN_H
#define ENTRY_PATTERN_H

#include "platform.h"

#include <QRegExp>
#include <QString>

// The line (without its line end) as the rule rewrites it: the entry
// pattern, and where that finds no entry, the same pattern with every
// character a Windows path may hold but ; and = in the folder, counted only
// where that folder is absolute. The prefix before the key is kept, and only
// a rewrite that a second application leaves as it is counts.
inline QString entryByPattern(const QString &line, const QString &folder, PathRules rules)
{
    static QRegExp narrowWindows(QStringLiteral(u"(BIBOPATH\\d+=)([\\_ :A-zА-я0-9]+)(BIBO.*)"));
    static QRegExp narrowPosix(QStringLiteral(u"(BIBOPATH\\d+=)([\\_ :A-zА-я0-9/]+)(BIBO.*)"));
    static QRegExp wide(QStringLiteral("(BIBOPATH\\d+=)([^\\x0000-\\x001F<>\"|?*;=]+)(BIBO.*)"));
    static QRegExp absoluteWindows(QStringLiteral("([A-Za-z]:[\\\\/]|\\\\\\\\(?![?.]\\\\)).*"));
    static QRegExp absolutePosix(QStringLiteral("([A-Za-z]:[\\\\/]|\\\\\\\\(?![?.]\\\\)|/).*"));
    QRegExp &narrow = rules == PathRules::Windows ? narrowWindows : narrowPosix;
    QRegExp &absolute = rules == PathRules::Windows ? absoluteWindows : absolutePosix;
    const auto once = [&](const QString &s) {
        if (narrow.indexIn(s) >= 0)
            return s.left(narrow.pos()) + narrow.cap(1) + folder + narrow.cap(3);
        if (wide.indexIn(s) >= 0 && absolute.exactMatch(wide.cap(2)))
            return s.left(wide.pos()) + wide.cap(1) + folder + wide.cap(3);
        return s;
    };
    const QString s = line + u'\n';
    QString result = once(s);
    if (once(result) != result)
        result = s;
    result.chop(1);
    return result;
}

#endif // ENTRY_PATTERN_H
