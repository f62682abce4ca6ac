// Feeds the rewrite arbitrary settings files and launch folders and checks
// what must hold for every input: no crash or undefined behaviour (the
// sanitizers), a replacement that decodes cleanly, every line that is no
// entry kept, and a second rewrite from the same folder, whatever it holds,
// finding nothing to do.
//
// Input: one byte of choices, the launch folder in UTF-8 up to the first
// line feed, then the settings file's bytes. The choice byte's lowest bit
// picks the path rules; its next two bits put filler lines after the file's
// mark (none, or up to 16 KiB, 64 KiB or 128 KiB, where the launcher's reads
// and writes cross their buffer sizes), and its top five bits end the filler
// that many bytes short of that, so that the fuzzed bytes straddle the edge
// while the inputs themselves stay short.
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

// The settings file's bytes with filler lines after their mark, in their
// encoding, to about padding bytes less shortBy.
QByteArray padded(const QByteArray &bytes, int padding, int shortBy)
{
    if (padding == 0)
        return bytes;
    const TextEncoding encoding = encodingOfMark(bytes.left(4));
    const QByteArray mark = byteOrderMark(encoding);
    const int unit = encoding == TextEncoding::Utf16BE || encoding == TextEncoding::Utf16LE ? 2
            : encoding == TextEncoding::Utf32BE || encoding == TextEncoding::Utf32LE ? 4 : 1;
    const int characters = (padding - shortBy - mark.size()) / unit;
    QString filler = QStringLiteral("filler=0123456789\n").repeated(characters / 18 + 1).left(characters);
    filler[characters - 1] = u'\n';
    QByteArray result = mark;
    TextEncoder(encoding).append(result, filler);
    return result + bytes.mid(mark.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const PathRules rules = data[0] & 1 ? PathRules::Posix : PathRules::Windows;
    const QByteArray rest = QByteArray::fromRawData(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const int folderEnd = rest.indexOf('\n');
    const QString folder = QString::fromUtf8(rest.left(qMax(folderEnd, 0)));
    static const int paddings[] = { 0, 16 * 1024, 64 * 1024, 128 * 1024 };
    const QByteArray original = padded(rest.mid(folderEnd + 1), paddings[(data[0] >> 1) & 3], data[0] >> 3);

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
