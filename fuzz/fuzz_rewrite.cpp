// Feeds the rewrite arbitrary settings files and launch folders and checks
// what must hold for every input: no crash or undefined behaviour (the
// sanitizers), every line rewritten as the entry rule's regular expressions
// say, a replacement that decodes cleanly and holds exactly those lines, and
// a second rewrite from the same folder, whatever it holds, finding nothing
// to do.
//
// Input: one byte of choices, the launch folder in UTF-8 up to the first
// line feed, then the settings file's bytes. The choice byte's lowest bit
// picks the path rules. One input in three, by a hash of all its bytes, gets
// filler lines after the file's mark, up to the launcher's read buffer
// less 0, 1, 2 or 3 quarters of the fuzzed bytes, as the choice
// byte's next two bits say: those bytes straddle the buffer's edge while the
// inputs themselves stay short. Its other bits only move the hash, so that a
// seed can say whether it crosses. A hash, not a bit the fuzzer would pass
// on to the inputs it makes from one, keeps the share that crosses at about
// a third, in the corpus as in the runs; an inherited bit let it drift
// between a fifth and a half from run to run. Filler costs a rewrite of that
// many bytes, several times over. (The write flush lies further out and
// would cost more; the unit tests cross it.)
#include "bibo_entry.h"
#include "bibo_rewrite.h"
#include "entry_pattern.h"
#include "launcher_numbers.h"
#include "text_encoding.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTextDecoder>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *what)
{
    qWarning("property broken: %s", what);
    std::abort();
}

const QString &settingsPath()
{
    // tmpfs where there is one: the replacement's fsync costs nothing there.
    static QTemporaryDir dir(QFileInfo::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm/launcher-fuzz-XXXXXX")
                                                                      : QDir::tempPath() + QStringLiteral("/launcher-fuzz-XXXXXX"));
    static const QString path = dir.filePath(QStringLiteral("VELNOR.INI"));
    return path;
}

// The settings file through the system's own calls, which need fewer of
// them than QFile does for each input; the inode tells a replacement.
class SettingsFile
{
public:
    static ino_t write(const QByteArray &bytes)
    {
        const int fd = ::open(path().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        struct stat info;
        const bool written = fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size()
                && fstat(fd, &info) == 0;
        if (fd < 0 || ::close(fd) != 0 || !written)
            fail("the settings file can't be written");
        return info.st_ino;
    }

    static QByteArray read(ino_t *inode)
    {
        const int fd = ::open(path().constData(), O_RDONLY | O_CLOEXEC);
        struct stat info;
        if (fd < 0 || fstat(fd, &info) != 0)
            fail("the settings file is gone");
        QByteArray bytes(int(info.st_size), Qt::Uninitialized);
        const bool whole = ::read(fd, bytes.data(), size_t(bytes.size())) == bytes.size();
        ::close(fd);
        if (!whole)
            fail("the settings file can't be read");
        *inode = info.st_ino;
        return bytes;
    }

    static ino_t inode()
    {
        struct stat info;
        return stat(path().constData(), &info) == 0 ? info.st_ino : 0;
    }

private:
    static const QByteArray &path()
    {
        static const QByteArray encoded = QFile::encodeName(settingsPath());
        return encoded;
    }
};

// Rewrites the file as the launcher does.
void rewrite(const QString &folder, PathRules rules)
{
    QFile file(settingsPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        fail("the settings file can't be opened");
    rewriteBiboPaths(file, folder, rules);
}

int unitOf(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Windows1251:
    case TextEncoding::Utf8: return 1;
    case TextEncoding::Utf16BE:
    case TextEncoding::Utf16LE: return 2;
    case TextEncoding::Utf32BE:
    case TextEncoding::Utf32LE: return 4;
    }
    return 1;
}

// The lines of text after its mark, as the settings file holds them: CRs
// dropped, split at LFs. Decoded by Qt's codecs, a second mark kept as text.
QStringList linesOf(const QByteArray &bytes, TextEncoding encoding)
{
    // Looked up once: each lookup by name searches ICU's tables.
    static QTextCodec *const codecs[] = {
        QTextCodec::codecForName("Windows-1251"), QTextCodec::codecForName("UTF-8"),
        QTextCodec::codecForName("UTF-16BE"), QTextCodec::codecForName("UTF-16LE"),
        QTextCodec::codecForName("UTF-32BE"), QTextCodec::codecForName("UTF-32LE"),
    };
    const std::unique_ptr<QTextDecoder> decoder(codecs[int(encoding)]->makeDecoder(QTextCodec::IgnoreHeader));
    QStringList lines = decoder->toUnicode(bytes).remove(u'\r').split(u'\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Whether iconv, independent of Qt and the launcher, decodes bytes cleanly.
// Into a small buffer, over and over: one for all of them would cost a
// fresh mapping of memory for every long input.
bool decodes(const QByteArray &bytes, const char *encoding)
{
    iconv_t converter = iconv_open("UTF-8", encoding);
    char *in = const_cast<char *>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    char out[16 * 1024];
    bool clean = true;
    while (clean && inLeft > 0) {
        char *outPtr = out;
        size_t outLeft = sizeof out;
        clean = iconv(converter, &in, &inLeft, &outPtr, &outLeft) != size_t(-1) || errno == E2BIG;
    }
    iconv_close(converter);
    return clean;
}

void checkDecodes(const QByteArray &bytes)
{
    static const struct { QByteArray mark; const char *encoding; QByteArray lineEnd; } marks[] = {
        { QByteArray("\x00\x00\xFE\xFF", 4), "UTF-32BE", QByteArray("\0\0\0\r\0\0\0\n", 8) },
        { QByteArray("\xFF\xFE\x00\x00", 4), "UTF-32LE", QByteArray("\r\0\0\0\n\0\0\0", 8) },
        { QByteArray("\xEF\xBB\xBF"), "UTF-8", QByteArray("\r\n") },
        { QByteArray("\xFE\xFF"), "UTF-16BE", QByteArray("\0\r\0\n", 4) },
        { QByteArray("\xFF\xFE"), "UTF-16LE", QByteArray("\r\0\n\0", 4) },
    };
    for (const auto &[mark, encoding, lineEnd] : marks) {
        if (bytes.startsWith(mark)) {
            if (!decodes(bytes.mid(mark.size()), encoding))
                fail("the replacement doesn't decode after its mark");
            if (!bytes.endsWith(lineEnd))
                fail("the replacement doesn't end with CR LF");
            return;
        }
    }
    if (!bytes.endsWith("\r\n"))
        fail("the replacement doesn't end with CR LF");
}

// Filler is whole copies of one long line, which holds no entry: every line
// costs the rewrite and the checks here more than its bytes. Made once in
// each encoding, ended by LF as the file has them and by CR LF as the
// replacement writes them: encoding them anew for every input would cost
// more than the rewrite.
const QString fillerLine = QStringLiteral("filler=") + QStringLiteral("0123456789").repeated(100) + u'\n';
constexpr int readBufferEdge = numbers::readBufferBytes;

const QByteArray &fillerIn(TextEncoding encoding, const QString &lineEnd)
{
    static QByteArray filler[2][6];
    QByteArray &made = filler[lineEnd.size() - 1][int(encoding)];
    if (made.isEmpty()) {
        QByteArray line;
        TextEncoder(encoding).append(line, fillerLine.chopped(1) + lineEnd);
        made = line.repeated(readBufferEdge / fillerLine.size() + 1);
    }
    return made;
}

// What the fuzzed settings bytes are given ahead of them: characters of
// filler after the mark, the last one an LF so that those bytes begin a line.
struct Filler
{
    int characters = 0;

    void appendTo(QByteArray &bytes, TextEncoding encoding) const
    {
        const QByteArray &lines = fillerIn(encoding, QStringLiteral("\n"));
        const int unit = unitOf(encoding);
        bytes.append(lines.constData(), (characters - 1) * unit);
        bytes.append(lines.constData() + (fillerLine.size() - 1) * unit, unit);
    }

    // Where the filler ends in bytes that hold it from at on as the
    // replacement writes it, each LF as CR LF; -1 where they don't.
    int rewrittenEnd(const QByteArray &bytes, int at, TextEncoding encoding) const
    {
        if (characters == 0)
            return at;
        const QByteArray &lines = fillerIn(encoding, QStringLiteral("\r\n"));
        const int unit = unitOf(encoding), line = fillerLine.size(), kept = characters - 1;
        const int size = (kept / line * (line + 1) + kept % line) * unit;
        const char *lineEnd = lines.constData() + (line - 1) * unit;
        if (bytes.size() < at + size + 2 * unit || memcmp(bytes.constData() + at, lines.constData(), size_t(size)) != 0
            || memcmp(bytes.constData() + at + size, lineEnd, size_t(2 * unit)) != 0)
            return -1;
        return at + size + 2 * unit;
    }
};

// The filler that puts the settings file's bytes after the mark across edge
// bytes, less the given quarters of them.
Filler fillerFor(const QByteArray &settings, int edge, int quarters)
{
    const TextEncoding encoding = encodingOfMark(settings.left(4));
    const int mark = byteOrderMark(encoding).size(), unit = unitOf(encoding);
    const int shortBy = (settings.size() - mark) * quarters / 4;
    // Rounded up to whole characters: the fuzzed bytes reach past the edge.
    return Filler{ qMax(1, (edge - shortBy - mark + unit - 1) / unit) };
}

// The settings file with the filler after its mark.
QByteArray padded(const QByteArray &settings, const Filler &filler)
{
    if (filler.characters == 0)
        return settings;
    const TextEncoding encoding = encodingOfMark(settings.left(4));
    const int mark = byteOrderMark(encoding).size();
    QByteArray bytes;
    bytes.reserve(settings.size() + filler.characters * unitOf(encoding));
    bytes.append(settings.constData(), mark);
    filler.appendTo(bytes, encoding);
    return bytes.append(settings.constData() + mark, settings.size() - mark);
}

// Checks a replacement of the settings file that had the filler: the filler
// comes back unchanged in the replacement's encoding, and each line that
// follows is the file's line as rewriteBiboEntry rewrites it.
void checkReplacement(const QByteArray &settings, const Filler &filler, const QByteArray &bytes,
                      const QString &folder, PathRules rules)
{
    checkDecodes(bytes);
    const TextEncoding encoding = encodingOfMark(settings.left(4));
    const TextEncoding written = encodingOfMark(bytes.left(4));
    const int fillerEnd = filler.rewrittenEnd(bytes, byteOrderMark(written).size(), written);
    if (fillerEnd < 0)
        fail("the filler was not carried over as it should");
    const QStringList before = linesOf(settings.mid(byteOrderMark(encoding).size()), encoding);
    const QStringList after = linesOf(bytes.mid(fillerEnd), written);
    if (before.size() != after.size())
        fail("the replacement has another number of lines");
    bool changed = false;
    for (int i = 0; i < before.size(); ++i) {
        const QString expected = rewriteBiboEntry(before[i], folder, rules);
        if (after[i] != expected)
            fail("a line was not carried over as it should");
        changed = changed || expected != before[i];
    }
    if (!changed)
        fail("the file was replaced though no line changed");
}

// Each line of the fuzzed bytes as the matcher rewrites it and as the
// regular expressions do: the same. Both patterns begin with the key, so a
// line without it must stay as it is, which is quicker to tell.
void checkRule(const QByteArray &settings, const QString &folder, PathRules rules)
{
    const TextEncoding encoding = encodingOfMark(settings.left(4));
    for (const QString &line : linesOf(settings.mid(byteOrderMark(encoding).size()), encoding)) {
        const QString rewritten = rewriteBiboEntry(line, folder, rules);
        const bool keyed = line.contains(QLatin1String("BIBOPATH"));
        if (keyed ? rewritten != entryByPattern(line, folder, rules) : rewritten != line)
            fail("a line was not rewritten as the entry pattern says");
    }
}

// Whether the input gets filler: FNV-1a of 32 bits, a multiple of three.
bool crosses(const uint8_t *data, size_t size)
{
    quint32 hash = 2166136261u;
    for (const uint8_t *at = data, *end = data + size; at != end; ++at)
        hash = (hash ^ *at) * 16777619u;
    return hash % 3 == 0;
}

} // namespace

// A use after free shows within the input that frees; the default quarantine
// of 256 MB only holds memory that every input would otherwise reuse.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const PathRules rules = data[0] & 1 ? PathRules::Posix : PathRules::Windows;
    const QByteArray rest = QByteArray::fromRawData(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const int folderEnd = rest.indexOf('\n');
    const QString folder = QString::fromUtf8(rest.left(qMax(folderEnd, 0)));
    const QByteArray settings = rest.mid(folderEnd + 1);
    const Filler filler = crosses(data, size) ? fillerFor(settings, readBufferEdge, data[0] >> 1 & 3) : Filler();
    const QByteArray original = padded(settings, filler);
    checkRule(settings, folder, rules);

    // Over the last input's file, which a replacement left writable.
    const ino_t written = SettingsFile::write(original);
    rewrite(folder, rules);
    ino_t replacement;
    const QByteArray bytes = SettingsFile::read(&replacement);
    if (replacement == written) {
        if (bytes != original)
            fail("the file changed without being replaced");
        return 0;
    }
    checkReplacement(settings, filler, bytes, folder, rules);

    // Whatever the folder, a replacement is final: the next start from the
    // same folder finds nothing to do.
    rewrite(folder, rules);
    if (SettingsFile::inode() != replacement)
        fail("a second rewrite from the same folder replaced the file again");
    return 0;
}
