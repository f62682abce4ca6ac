#include "bibo_rewrite.h"

#include "bibo_entry.h"
#include "bibo_rewrite_hook.h"
#include "text_encoding.h"

#include <QFile>
#include <QFileInfo>

#include <memory>
#include <optional>

namespace {

bool isOutOfDate(const QString &line, const QString &launchFolder, PathRules rules)
{
    return rewriteBiboEntry(line, launchFolder, rules) != line;
}

// FNV-1a of 64 bits: the same value however the bytes come in pieces, and
// small and quick, which is all that telling another program's save from
// none needs (nobody forges one: a program that may write the file could
// just as well rename a new one over it).
class ContentHash
{
public:
    void add(const char *bytes, qint64 size)
    {
        for (const char *end = bytes + size; bytes != end; ++bytes)
            m_value = (m_value ^ uchar(*bytes)) * 0x100000001B3u;
    }
    quint64 value() const { return m_value; }

private:
    quint64 m_value = 0xCBF29CE484222325u;
};

// The file read byte for byte while it lives, in text mode again after:
// text mode would drop 0x0D bytes that belong to UTF-16 or UTF-32 characters.
class RawReading
{
public:
    explicit RawReading(QFile &file) : m_file(file), m_textMode(file.isTextModeEnabled())
    {
        m_file.setTextModeEnabled(false);
    }
    ~RawReading() { m_file.setTextModeEnabled(m_textMode); }
    RawReading(const RawReading &) = delete;
    RawReading &operator=(const RawReading &) = delete;

private:
    QFile &m_file;
    const bool m_textMode;
};

// Reads the settings file's lines from its first byte: a byte-order mark
// names the encoding, else it is Windows-1251; every CR is dropped after
// decoding and a line ends at LF. Raw bytes are read. Every read is
// checked: a read error, or an end before expectedSize bytes (where given),
// fails the reading instead of ending a line early. A QTextStream hands back
// the part of a line read before a failed read and goes on after it, and the
// file clears its error on the next good read.
class LineReader
{
public:
    LineReader(QFile &file, qint64 expectedSize = -1, ContentHash *hash = nullptr)
        : m_file(file), m_raw(file), m_expectedSize(expectedSize), m_hash(hash)
    {
        m_failed = !m_file.seek(0); // which also clears an earlier error
    }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // The next line without its line end; false at the end or on failure.
    bool next(QString *line);
    // Whether reading stopped short of the file's end: a read error, fewer or
    // more bytes than expected, or a line of the maximum length.
    bool failed() const { return m_failed; }

private:
    void fill();

    QFile &m_file;
    RawReading m_raw;
    const qint64 m_expectedSize;
    ContentHash *m_hash;
    qint64 m_read = 0;
    QByteArray m_head; // the first bytes, until the mark can be told
    std::unique_ptr<TextDecoder> m_decoder;
    QString m_chunk; // decoded, without CRs
    qsizetype m_position = 0;
    QString m_partial; // the start of a line that the chunk doesn't end
    bool m_atEnd = false;
    bool m_failed = false;
};

bool LineReader::next(QString *line)
{
    while (!m_failed) {
        const qsizetype lineFeed = m_chunk.indexOf(u'\n', m_position);
        if (lineFeed >= 0) {
            // The line's buffer is reused: an allocation for each line costs
            // more than the rest of the reading.
            if (line->capacity() < 256)
                line->reserve(256);
            line->resize(0);
            line->append(m_partial);
            m_partial.resize(0);
            line->append(m_chunk.constData() + m_position, int(lineFeed - m_position));
            m_position = lineFeed + 1;
            m_failed = line->size() >= numbers::maximumLineLength;
            return !m_failed;
        }
        m_partial.append(m_chunk.constData() + m_position, int(m_chunk.size() - m_position));
        m_chunk.clear();
        m_position = 0;
        if (m_partial.size() >= numbers::maximumLineLength) {
            m_failed = true;
        } else if (!m_atEnd) {
            fill();
        } else {
            // A last line without its line end, only once the whole file is read.
            if (m_partial.isEmpty())
                return false;
            *line = m_partial;
            m_partial.clear();
            return true;
        }
    }
    return false;
}

void LineReader::fill()
{
    char buffer[numbers::readBufferBytes];
    const qint64 size = m_file.read(buffer, sizeof buffer);
    if (size < 0 || m_file.error() != QFileDevice::NoError) {
        m_failed = true;
        return;
    }
    m_read += size;
    m_atEnd = size == 0;
    if (m_expectedSize >= 0 && (m_atEnd ? m_read != m_expectedSize : m_read > m_expectedSize)) {
        m_failed = true;
        return;
    }
    if (m_hash)
        m_hash->add(buffer, size);
    if (m_decoder) {
        m_chunk = m_decoder->decode(buffer, int(size));
    } else {
        m_head.append(buffer, int(size));
        if (m_head.size() < 4 && !m_atEnd)
            return;
        const TextEncoding encoding = encodingOfMark(m_head.left(4));
        const int mark = byteOrderMark(encoding).size();
        m_decoder.reset(new TextDecoder(encoding));
        m_chunk = m_decoder->decode(m_head.constData() + mark, m_head.size() - mark);
        m_head.clear();
    }
    m_chunk.remove(u'\r');
}

// Reads up to the first entry that needs a change; a read that fails only
// ends the search.
bool hasOutOfDateEntry(QFile &settingsFile, const QString &launchFolder, PathRules rules)
{
    LineReader reader(settingsFile);
    QString line;
    while (reader.next(&line)) {
        if (isOutOfDate(line, launchFolder, rules))
            return true; // a read error further on stops the writing pass
    }
    return false;
}

// The encoding the file's mark names, where everything after the mark is
// well-formed in it; a read that ends early leaves the rest unchecked, and
// nothing comes back.
std::optional<TextEncoding> wellFormedEncoding(QFile &settingsFile, qint64 size)
{
    const RawReading raw(settingsFile);
    settingsFile.seek(0);
    const QByteArray head = settingsFile.read(4);
    const TextEncoding encoding = encodingOfMark(head);
    settingsFile.seek(byteOrderMark(encoding).size());
    const bool wellFormed = head.size() == qMin<qint64>(size, 4) && isWellFormed(settingsFile, encoding)
            && (encoding == TextEncoding::Windows1251 || settingsFile.pos() == size);
    return wellFormed ? std::optional<TextEncoding>(encoding) : std::nullopt;
}

// Whether the file's bytes as they are now have the given hash. Opened as
// the launcher opens it, so that another launcher's look at the same moment
// doesn't stand in the way; a read that fails tells nothing.
platform::FileCheck contentCheck(const QString &fileName, quint64 hashValue)
{
    const std::unique_ptr<QFile> file = platform::openForReading(fileName, platform::Waiting::None);
    if (!file)
        return platform::FileCheck::Unreadable;
    file->setTextModeEnabled(false);
    ContentHash hash;
    char buffer[numbers::checkBufferBytes];
    qint64 size;
    while ((size = file->read(buffer, sizeof buffer)) > 0)
        hash.add(buffer, size);
    if (size < 0 || file->error() != QFileDevice::NoError)
        return platform::FileCheck::Unreadable;
    return hash.value() == hashValue ? platform::FileCheck::Unchanged : platform::FileCheck::Saved;
}

// Whether the name still stands for the version read, by its stamp and,
// where asked, its content.
platform::FileCheck lastCheck(const QString &fileName, const platform::FileStamp &stamp, const ContentHash *hash)
{
    const platform::FileStamp now = platform::stampOf(fileName);
    if (now == platform::FileStamp())
        return platform::FileCheck::Unreadable;
    if (now != stamp)
        return platform::FileCheck::Saved;
    return hash ? contentCheck(fileName, hash->value()) : platform::FileCheck::Unchanged;
}

enum class WriteResult { Written, Unencodable, Failed };

// Decodes the new file's bytes as the next start will read them, the mark
// told from its first four bytes, and compares them with the text they were
// made from. UTF-16LE text that begins with U+0000 would begin with the
// UTF-32LE mark, Windows-1251 text that begins "яю" or "п»ї" with a Unicode
// mark.
class ReadBack
{
public:
    bool matches(const QByteArray &bytes, const QString &text)
    {
        int at = 0;
        if (!m_decoder) {
            const TextEncoding encoding = encodingOfMark(bytes.left(4));
            at = byteOrderMark(encoding).size();
            m_decoder.reset(new TextDecoder(encoding));
        }
        // In small pieces: a large string for each would go back to the
        // system when freed, and come back with page faults.
        qsizetype matched = 0;
        for (; at < bytes.size(); at += numbers::readBufferBytes) {
            const QString piece
                    = m_decoder->decode(bytes.constData() + at, qMin(numbers::readBufferBytes, bytes.size() - at));
            if (piece.size() > text.size() - matched || QStringView(text).mid(matched, piece.size()) != piece)
                return false;
            matched += piece.size();
        }
        return matched == text.size();
    }

private:
    std::unique_ptr<TextDecoder> m_decoder;
};

// What every attempt at replacing the file works from.
struct Rewrite
{
    QFile &settingsFile;
    const QString &launchFolder;
    PathRules rules;
    // The version the new content is made from (the writing pass reads the
    // file again): if another program saves the file before it is replaced,
    // that save wins.
    platform::FileStamp stamp;
};

// Writes every line, rewritten where needed, each ended by CR LF. Only a
// whole file counts: every byte of the size it had when it was looked at,
// read without an error. Only bytes that read back as the same text are
// written; otherwise the encoding is Unencodable.
WriteResult writeRewritten(const Rewrite &rewrite, TextEncoding encoding, ContentHash *hash, QFileDevice &newFile)
{
    const QString lineEnd = QStringLiteral("\r\n");
    TextEncoder encoder(encoding);
    ReadBack readBack;
    // Both keep their capacity when emptied (once reserved), which spares
    // the allocator's trimming and the page faults that come with it.
    // Capacity for what a flush holds, or the whole file where it is
    // smaller: a larger block would come straight from the system, and go
    // back to it.
    const int capacity = int(qMin<qint64>(rewrite.stamp.size, numbers::flushBytes)) + 4096;
    QByteArray bytes = byteOrderMark(encoding);
    bytes.reserve(capacity);
    QString text; // what bytes hold
    text.reserve(capacity);
    LineReader reader(rewrite.settingsFile, rewrite.stamp.size, hash);
    QString line;
    while (reader.next(&line)) {
        const QString rewritten = rewriteBiboEntry(line, rewrite.launchFolder, rewrite.rules);
        encoder.append(bytes, rewritten);
        encoder.append(bytes, lineEnd);
        if (encoder.hasFailure())
            return WriteResult::Unencodable;
        text += rewritten;
        text += lineEnd;
        if (bytes.size() >= numbers::flushBytes) {
            if (!readBack.matches(bytes, text))
                return WriteResult::Unencodable;
            if (newFile.write(bytes) != bytes.size())
                return WriteResult::Failed;
            bytes.resize(0);
            text.resize(0);
        }
    }
    if (reader.failed())
        return WriteResult::Failed;
    if (!readBack.matches(bytes, text))
        return WriteResult::Unencodable;
    return newFile.write(bytes) == bytes.size() ? WriteResult::Written : WriteResult::Failed;
}

std::function<void()> &beforeReplacingHook()
{
    static std::function<void()> hook;
    return hook;
}

// Puts the rewritten file in the settings file's place, its lines in the
// given encoding. Written: the attempt is over, whether or not the file was
// replaced (another program's save wins).
WriteResult replaceIn(const Rewrite &rewrite, TextEncoding encoding)
{
    platform::Replacement replacement(rewrite.settingsFile);
    if (!replacement.open())
        return WriteResult::Failed;
    // The stamp can't tell another program's save of the same size within
    // the same tick of the file's clock (2 s on FAT) from none: the content
    // can. A file up to the comparison limit is compared always; a larger
    // one only where it changed no earlier than the new file was made, by
    // the same file system's clock: a save after that has a later time.
    const bool compareContent = rewrite.stamp.size <= numbers::contentCompareLimitBytes
            || !(platform::stampOf(replacement.device()).modified > rewrite.stamp.modified);
    ContentHash hash;
    const WriteResult written = writeRewritten(rewrite, encoding, compareContent ? &hash : nullptr, replacement.device());
    if (written != WriteResult::Written)
        return written;
    if (!replacement.flushWithMetadata())
        return WriteResult::Failed;
    if (beforeReplacingHook())
        beforeReplacingHook()();
    rewrite.settingsFile.close(); // Windows can't replace a file that is still open
    // The next start brings the other program's version up to date.
    const QString fileName = rewrite.settingsFile.fileName();
    replacement.commit([&] { return lastCheck(fileName, rewrite.stamp, compareContent ? &hash : nullptr); });
    return WriteResult::Written;
}

// A line break in the folder would split the entry, or vanish on reading and
// make every start rewrite the file again.
bool isUsableLaunchFolder(const QString &launchFolder, PathRules rules)
{
    return isAbsoluteFolder(launchFolder, rules) && !launchFolder.contains(u'\n') && !launchFolder.contains(u'\r');
}

// A read-only file stays as it is, even for a user whom the system would let
// replace it (root, or through the rename).
bool isReadOnly(const QFile &settingsFile)
{
    const QFileInfo info(settingsFile);
    const QFile::Permissions writable = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    return !info.isWritable() || !(info.permissions() & writable);
}

} // namespace

void setBeforeReplacing(std::function<void()> hook)
{
    beforeReplacingHook() = std::move(hook);
}

void rewriteBiboPaths(QFile &settingsFile, const QString &launchFolder, PathRules rules)
{
    if (!isUsableLaunchFolder(launchFolder, rules) || !hasOutOfDateEntry(settingsFile, launchFolder, rules))
        return;
    const Rewrite rewrite{ settingsFile, launchFolder, rules, platform::stampOf(settingsFile) };
    // Rewriting would replace what couldn't be decoded.
    const std::optional<TextEncoding> markEncoding = wellFormedEncoding(settingsFile, rewrite.stamp.size);
    if (!markEncoding || isReadOnly(settingsFile))
        return;
    // Windows-1251 when every character fits, as the main program expects;
    // otherwise a Unicode file keeps its own encoding and mark. Bytes that
    // would read back as other text pass the encoding over. No lock file:
    // starts from one folder write the same bytes, and each replacement is a
    // rename, so a reader always finds a whole file, old or new.
    if (replaceIn(rewrite, TextEncoding::Windows1251) == WriteResult::Unencodable
        && *markEncoding != TextEncoding::Windows1251) {
        replaceIn(rewrite, *markEncoding);
    }
}
