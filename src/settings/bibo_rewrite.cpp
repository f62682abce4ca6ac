#include "bibo_rewrite.h"

#include "text_encoding.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace {

// The characters an entry's folder may hold: space, colon, digits, the whole
// range A to z (which takes in the backslash and [ ] ^ _ `) and the Cyrillic
// letters А to я (without Ё and ё).
bool isFolderChar(QChar c, PathRules rules)
{
    const char16_t u = c.unicode();
    return u == u' ' || u == u':' || (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'z')
            || (u >= 0x0410 && u <= 0x044F) || (u == u'/' && rules == PathRules::Posix);
}

struct Span
{
    qsizetype begin = -1;
    qsizetype end = -1;
};

// Where the folder of the line's BIBO entry lies, as the entry pattern
// (BIBOPATH\d+=)([\_ :A-zА-я0-9]+)(BIBO.*) captures it in its second group:
// the leftmost key that is followed by folder characters holding a later
// "BIBO", and the folder up to the last such "BIBO". Each character is looked
// at a bounded number of times, so a long line costs linear time; a
// backtracking search would retry from every offset.
Span entryFolder(QStringView line, PathRules rules)
{
    const QLatin1String key("BIBOPATH");
    const QLatin1String tail("BIBO");
    for (qsizetype at = line.indexOf(key); at >= 0; at = line.indexOf(key, at + 1)) {
        qsizetype pos = at + key.size();
        const qsizetype digits = pos;
        while (pos < line.size() && line[pos].isDigit())
            ++pos;
        if (pos == digits || pos == line.size() || line[pos] != u'=')
            continue;
        const qsizetype begin = pos + 1;
        pos = begin;
        while (pos < line.size() && isFolderChar(line[pos], rules))
            ++pos;
        // The tail's letters are folder characters, so a "BIBO" that can end
        // the folder lies wholly inside the run, after its first character.
        if (pos - begin < 1 + tail.size())
            continue;
        const qsizetype last = line.mid(begin + 1, pos - begin - 1).lastIndexOf(tail);
        if (last >= 0)
            return { begin, begin + 1 + last };
    }
    return {};
}

// One application of the entry pattern: the line with its entry's folder
// replaced, or the line itself.
QString rebuiltOnce(const QString &line, const QString &launchFolder, PathRules rules)
{
    const Span folder = entryFolder(line, rules);
    if (folder.begin < 0 || QStringView(line).mid(folder.begin, folder.end - folder.begin) == launchFolder)
        return line;
    return line.left(folder.begin) + launchFolder + line.mid(folder.end);
}

bool isOutOfDate(const QString &line, const QString &launchFolder, PathRules rules)
{
    return rewriteBiboEntry(line, launchFolder, rules) != line;
}

// Reading always starts over from the file's first byte; the stream detects a
// byte-order mark there and otherwise decodes Windows-1251. In text mode it
// drops every CR after decoding.
void readFromStart(QTextStream &stream, QFile &file)
{
    file.seek(0);
    stream.setDevice(&file);
    stream.setCodec(windows1251Codec());
    stream.setAutoDetectUnicode(true);
}

// Reads up to the first entry that needs a change. A read that stops early
// (a read error, or a file that claims more bytes than it gives) ends the
// loop without one: looping on atEnd() would never end.
bool hasOutOfDateEntry(QFile &settingsFile, const QString &launchFolder, PathRules rules)
{
    QTextStream stream;
    readFromStart(stream, settingsFile);
    QString line;
    while (stream.readLineInto(&line, maximumLineLength)) {
        if (line.size() >= maximumLineLength)
            return false;
        if (isOutOfDate(line, launchFolder, rules))
            return true; // a read error further on stops the writing pass
    }
    return false;
}

// The raw bytes of the file, as the mark detection and the well-formedness
// check need them: text mode would drop 0x0D bytes that belong to UTF-16 or
// UTF-32 characters.
TextEncoding checkedEncoding(QFile &settingsFile, bool *wellFormed)
{
    const bool textMode = settingsFile.isTextModeEnabled();
    settingsFile.setTextModeEnabled(false);
    settingsFile.seek(0);
    const TextEncoding encoding = encodingOfMark(settingsFile.read(4));
    settingsFile.seek(byteOrderMark(encoding).size());
    *wellFormed = isWellFormed(settingsFile, encoding);
    settingsFile.setTextModeEnabled(textMode);
    return encoding;
}

enum class WriteResult { Written, Unencodable, Failed };

// Writes every line, rewritten where needed, each ended by CR LF.
WriteResult writeRewritten(QFile &settingsFile, QFileDevice &newFile, const QString &launchFolder,
                           PathRules rules, TextEncoding encoding)
{
    const QString lineEnd = QStringLiteral("\r\n");
    TextEncoder encoder(encoding);
    QByteArray bytes = byteOrderMark(encoding);
    QTextStream stream;
    readFromStart(stream, settingsFile);
    // Windows-1251 text that begins like a byte-order mark ("яю", "п»ї")
    // would be read back as Unicode.
    const auto startsLikeMark = [&] {
        return encoding == TextEncoding::Windows1251 && newFile.size() == 0
                && encodingOfMark(bytes.left(4)) != TextEncoding::Windows1251;
    };
    QString line;
    while (stream.readLineInto(&line, maximumLineLength)) {
        if (line.size() >= maximumLineLength)
            return WriteResult::Failed;
        encoder.append(bytes, rewriteBiboEntry(line, launchFolder, rules));
        encoder.append(bytes, lineEnd);
        if (encoder.hasFailure())
            return WriteResult::Unencodable;
        if (bytes.size() >= 64 * 1024) {
            if (startsLikeMark())
                return WriteResult::Unencodable;
            if (newFile.write(bytes) != bytes.size())
                return WriteResult::Failed;
            bytes.clear();
        }
    }
    if (startsLikeMark())
        return WriteResult::Unencodable;
    if (settingsFile.error() != QFileDevice::NoError || newFile.write(bytes) != bytes.size())
        return WriteResult::Failed;
    return WriteResult::Written;
}

} // namespace

QString rewriteBiboEntry(const QString &line, const QString &launchFolder, PathRules rules)
{
    const QString rebuilt = rebuiltOnce(line, launchFolder, rules);
    // A launch folder holding "BIBO" before a character outside the folder
    // class would be read back as a shorter folder, and the entry would grow
    // at every start: only a rewrite that the next start leaves alone counts.
    if (rebuilt != line && rebuiltOnce(rebuilt, launchFolder, rules) != rebuilt)
        return line;
    return rebuilt;
}

bool isAbsoluteFolder(QStringView folder, PathRules rules)
{
    const auto at = [folder](qsizetype i) { return i < folder.size() ? folder[i].unicode() : u'\0'; };
    const bool driveLetter = (at(0) >= u'A' && at(0) <= u'Z') || (at(0) >= u'a' && at(0) <= u'z');
    // \\?\ and \\.\ name the system's own namespaces, which the main program's
    // entries can't hold.
    const bool share = at(0) == u'\\' && at(1) == u'\\' && !((at(2) == u'?' || at(2) == u'.') && at(3) == u'\\');
    return (driveLetter && at(1) == u':' && at(2) == u'\\') || share || (rules == PathRules::Posix && at(0) == u'/');
}

void rewriteBiboPaths(QFile &settingsFile, const QString &launchFolder, PathRules rules,
                      const std::function<void()> &beforeReplacing)
{
    // A line break in the folder would split the entry, or vanish on reading
    // and make every start rewrite the file again.
    if (!isAbsoluteFolder(launchFolder, rules) || launchFolder.contains(u'\n') || launchFolder.contains(u'\r')
        || !hasOutOfDateEntry(settingsFile, launchFolder, rules)) {
        return;
    }
    // The version the new content is made from (the writing pass reads the
    // file again): if another program saves the file before it is replaced,
    // that save wins.
    const platform::FileStamp stamp = platform::stampOf(settingsFile);

    bool wellFormed = false;
    const TextEncoding markEncoding = checkedEncoding(settingsFile, &wellFormed);
    if (!wellFormed)
        return; // rewriting would replace what couldn't be decoded

    // A read-only file stays as it is, even for a user whom the system would
    // let replace it (root, or through the rename).
    const QFileInfo info(settingsFile);
    const QFile::Permissions writable = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (!info.isWritable() || !(info.permissions() & writable))
        return;

    // Windows-1251 when every character fits, as the main program expects;
    // otherwise a Unicode file keeps its own encoding and mark. No lock file:
    // starts from one folder write the same bytes, and each replacement is a
    // rename, so a reader always finds a whole file, old or new.
    for (const TextEncoding encoding : { TextEncoding::Windows1251, markEncoding }) {
        platform::Replacement replacement(settingsFile.fileName());
        if (!replacement.open())
            return;
        switch (writeRewritten(settingsFile, replacement.device(), launchFolder, rules, encoding)) {
        case WriteResult::Written:
            if (!replacement.prepare(settingsFile))
                return;
            if (beforeReplacing)
                beforeReplacing();
            settingsFile.close(); // Windows can't replace a file that is still open
            // The next start brings the other program's version up to date.
            replacement.commit([&] { return platform::stampOf(settingsFile.fileName()) == stamp; });
            return;
        case WriteResult::Unencodable:
            if (encoding == markEncoding)
                return;
            break;
        case WriteResult::Failed:
            return;
        }
    }
}
