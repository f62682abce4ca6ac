// Feeds the rewrite arbitrary settings files and launch folders and checks
// what must hold for every input: no crash or undefined behaviour (the
// sanitizers), a replacement that decodes cleanly, every line that is no
// entry kept, and a second rewrite from the same folder, whatever it holds,
// finding nothing to do.
//
// Input: one byte of choices, the launch folder in UTF-8 up to the first
// line feed, then the settings file's bytes. The choice byte's lowest bit
// picks the path rules. Where its next three bits are all set (one input in
// eight), filler lines go after the file's mark: its next two bits say up to
// 16 KiB (twice as likely), 64 KiB or 128 KiB, where the launcher's reads and
// writes cross their buffer sizes, and its top two bits end the filler 0, 1,
// 2 or 3 quarters of the fuzzed bytes short of that, so that those bytes
// straddle the edge while the inputs themselves stay short. Filler costs a
// rewrite of that many bytes, several times over: few inputs get it.
#include "bibo_rewrite.h"
#include "text_encoding.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextCodec>

#include <cstdlib>
#include <iconv.h>
#include <sys/stat.h>

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

ino_t inodeOf(const QString &path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

// Rewrites the file as the launcher does; returns whether it was replaced.
bool rewrite(const QString &folder, PathRules rules)
{
    const ino_t before = inodeOf(settingsPath());
    QFile file(settingsPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        fail("the settings file can't be opened");
    rewriteBiboPaths(file, folder, rules);
    file.close();
    return inodeOf(settingsPath()) != before;
}

// The lines as the settings file holds them: decoded whole (a byte-order
// mark names the encoding, else Windows-1251), CRs dropped, split at LFs.
QStringList linesOf(const QByteArray &bytes)
{
    QTextCodec *codec = QTextCodec::codecForUtfText(bytes, QTextCodec::codecForName("Windows-1251"));
    QStringList lines = codec->toUnicode(bytes).remove(u'\r').split(u'\n'); // the codec drops the mark
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Whether iconv, independent of Qt and the launcher, decodes bytes cleanly.
bool decodes(const QByteArray &bytes, const char *encoding)
{
    iconv_t converter = iconv_open("UTF-8", encoding);
    QByteArray in = bytes, out(bytes.size() * 4 + 16, '\0');
    char *inPtr = in.data(), *outPtr = out.data();
    size_t inLeft = size_t(in.size()), outLeft = size_t(out.size());
    const bool clean = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1) && inLeft == 0;
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

// 128 Ki characters of filler lines in the encoding, made once: encoding
// them anew for every input would cost more than the rewrite. Long lines,
// since every line costs the rewrite and the checks here more than its bytes.
const QString fillerLine = QStringLiteral("filler=") + QStringLiteral("0123456789").repeated(100) + u'\n';

const QByteArray &fillerIn(TextEncoding encoding)
{
    static QByteArray filler[6];
    QByteArray &made = filler[int(encoding)];
    if (made.isEmpty()) {
        QByteArray line;
        TextEncoder(encoding).append(line, fillerLine);
        made = line.repeated(128 * 1024 / fillerLine.size() + 1);
    }
    return made;
}

// The settings file's bytes with whole filler lines after their mark, in its
// encoding, up to edge bytes less the given quarters of what follows the mark.
QByteArray padded(const QByteArray &bytes, int edge, int quarters)
{
    const TextEncoding encoding = encodingOfMark(bytes.left(4));
    const QByteArray mark = byteOrderMark(encoding);
    const int unit = encoding == TextEncoding::Utf16BE || encoding == TextEncoding::Utf16LE ? 2
            : encoding == TextEncoding::Utf32BE || encoding == TextEncoding::Utf32LE ? 4 : 1;
    const int shortBy = (bytes.size() - mark.size()) * quarters / 4;
    // Rounded up to whole characters: the fuzzed bytes reach past the edge.
    const int characters = (edge - shortBy - mark.size() + unit - 1) / unit;
    QByteArray filler = fillerIn(encoding).left(characters * unit);
    // The last one a line end, so that the fuzzed bytes begin a line.
    filler.replace(filler.size() - unit, unit, fillerIn(encoding).mid((fillerLine.size() - 1) * unit, unit));
    return mark + filler + bytes.mid(mark.size());
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
    static const int edges[] = { 16 * 1024, 16 * 1024, 64 * 1024, 128 * 1024 };
    const bool withFiller = (data[0] >> 1 & 7) == 7;
    const QByteArray settings = rest.mid(folderEnd + 1);
    const QByteArray original = withFiller ? padded(settings, edges[data[0] >> 4 & 3], data[0] >> 6) : settings;

    QFile::remove(settingsPath());
    QFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(original) != original.size())
        fail("the settings file can't be written");
    file.close();

    const bool replaced = rewrite(folder, rules);
    QFile result(settingsPath());
    if (!result.open(QIODevice::ReadOnly))
        fail("the settings file is gone");
    const QByteArray bytes = result.readAll();
    result.close();
    if (!replaced) {
        if (bytes != original)
            fail("the file changed without being replaced");
        return 0;
    }

    checkDecodes(bytes);
    const QStringList before = linesOf(original), after = linesOf(bytes);
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

    // Whatever the folder, a replacement is final: the next start from the
    // same folder finds nothing to do.
    if (rewrite(folder, rules))
        fail("a second rewrite from the same folder replaced the file again");
    return 0;
}
