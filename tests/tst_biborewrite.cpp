#include "bibo_entry.h"
#include "bibo_rewrite.h"
#include "bibo_rewrite_hook.h"
#include "entry_pattern.h"
#include "launcher_numbers.h"
#include "testsupport.h"
#include "windows1251_codec.h"

#include <QDir>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <set>

#include <fcntl.h>
#include <iconv.h>
#include <sys/wait.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PathRules)

namespace {

const QString suite = QStringLiteral(R"(E:\Tools\Suite\)");
const QString entry = QStringLiteral(R"(BIBOPATH1=C:\X\BIBO\)");
const QString rewritten = QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\)");
const QByteArray utf8Mark("\xEF\xBB\xBF");
const QByteArray utf16BEMark("\xFE\xFF");
const QByteArray utf16LEMark("\xFF\xFE");
const QByteArray utf32BEMark("\x00\x00\xFE\xFF", 4);
const QByteArray utf32LEMark("\xFF\xFE\x00\x00", 4);
const uid_t nobody = 65534;

// The reference encoder: the C library's iconv, independent of Qt and of the
// launcher's own encoders.
QByteArray encoded(const QString &text, const char *encoding)
{
    iconv_t converter = iconv_open(encoding, "UTF-8");
    QByteArray in = text.toUtf8();
    QByteArray out(in.size() * 4 + 4, '\0');
    char *inPtr = in.data();
    char *outPtr = out.data();
    size_t inLeft = size_t(in.size());
    size_t outLeft = size_t(out.size());
    const bool done = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1);
    iconv_close(converter);
    return done ? out.left(out.size() - int(outLeft)) : QByteArray("iconv failed");
}

QByteArray cp1251(const QString &text) { return encoded(text, "WINDOWS-1251"); }

// Opens the file as the launcher does and rewrites it, as another user when
// asked (in a child process, since a process can't change back from nobody),
// with beforeReplacing where given just before the last look at the file.
void rewrite(const QString &path, const QString &launchFolder, PathRules rules, bool asNobody = false,
             const std::function<void()> &beforeReplacing = nullptr)
{
    const auto run = [&] {
        setBeforeReplacing(beforeReplacing);
        const auto noHook = qScopeGuard([] { setBeforeReplacing(nullptr); });
        QFile file(path);
        if (file.open(QIODevice::ReadOnly | QIODevice::Text))
            rewriteBiboPaths(file, launchFolder, rules);
    };
    if (!asNobody)
        return run();
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(1);
        run();
        _exit(0);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QCOMPARE(status, 0);
}

} // namespace

class BiboRewriteTest : public QObject
{
    Q_OBJECT

private slots:
    void entries_data();
    void entries();
    void entriesAgreeWithPattern();
    void absoluteFolders_data();
    void absoluteFolders();
    void files_data();
    void files();
    void replacement_data();
    void replacement();
    void keepsSymbolicLink();
    void longLines_data();
    void longLines();
    void windows1251EveryByte();
    void anotherSaveWins_data();
    void anotherSaveWins();
    void startsFromOneFolder_data();
    void startsFromOneFolder();
};

void BiboRewriteTest::entries_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<PathRules>("rules");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char *name, const QString &line, const QString &expected, const QString &folder = suite,
                        PathRules rules = PathRules::Windows) { QTest::newRow(name) << line << folder << rules << expected; };
    const auto same = [&row](const char *name, const QString &line, const QString &folder = suite,
                             PathRules rules = PathRules::Windows) { row(name, line, line, folder, rules); };
    row("old place", QStringLiteral(R"(BIBOPATH1=C:\Old Place\BIBO\)"), rewritten);
    row("tail kept", QStringLiteral(R"(BIBOPATH12=D:\A\BIBO\Parts\Power\)"), QStringLiteral(R"(BIBOPATH12=E:\Tools\Suite\BIBO\Parts\Power\)"));
    same("up to date", rewritten);
    row("letter case", QStringLiteral(R"(BIBOPATH1=e:\tools\suite\BIBO\)"), rewritten);
    row("last reachable BIBO", QStringLiteral(R"(BIBOPATH2=C:\X\BIBO\BIBOLIB\)"), QStringLiteral(R"(BIBOPATH2=E:\Tools\Suite\BIBOLIB\)"));
    row("BIBO past a stop", QStringLiteral(R"(BIBOPATH2=C:\X\BIBO\a.b\BIBO\)"), QStringLiteral(R"(BIBOPATH2=E:\Tools\Suite\BIBO\a.b\BIBO\)"));
    row("Cyrillic А to я", QStringLiteral(u"BIBOPATH5=C:\\АБВабвЮЯюя\\BIBO\\"), QStringLiteral(u"BIBOPATH5=E:\\Tools\\Suite\\BIBO\\"));
    // Read again with every character a Windows path may hold, where the
    // narrow set finds no entry: absolute folders only.
    const QString suiteBibo = QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\)");
    row("parenthesis, absolute in the wider set", QStringLiteral(R"(BIBOPATH3=C:\Program Files (x86)\App\BIBO\)"), QStringLiteral(R"(BIBOPATH3=E:\Tools\Suite\BIBO\)"));
    row("dot, absolute in the wider set", QStringLiteral(R"(BIBOPATH4=C:\App 2.0\BIBO\)"), QStringLiteral(R"(BIBOPATH4=E:\Tools\Suite\BIBO\)"));
    row("Ё, absolute in the wider set", QStringLiteral(u"BIBOPATH5=C:\\Ёлка\\BIBO\\"), QStringLiteral(R"(BIBOPATH5=E:\Tools\Suite\BIBO\)"));
    row("ё, absolute in the wider set", QStringLiteral(u"BIBOPATH5=C:\\ёлка\\BIBO\\"), QStringLiteral(R"(BIBOPATH5=E:\Tools\Suite\BIBO\)"));
    row("user name and OneDrive", QStringLiteral(R"(BIBOPATH1=C:\Users\j.smith\OneDrive - Org\V\BIBO\)"), suiteBibo);
    row("share with a dot and parentheses", QStringLiteral(R"(BIBOPATH1=\\srv\share (a)\v1.2\BIBO\x)"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\x)"));
    row("drive with slashes", QStringLiteral("BIBOPATH1=C:/old/BIBO/x"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO/x)"));
    row("wider set, last reachable BIBO", QStringLiteral(R"(BIBOPATH1=C:\Program Files (x86)\BIBO\BIBOLIB\)"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBOLIB\)"));
    row("wider set stops at a comment", QStringLiteral(R"(BIBOPATH1=C:\(x)\BIBO\ ; note BIBO)"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\ ; note BIBO)"));
    row("first match stands", QStringLiteral(R"(BIBOPATH1=C:\X\BIBO\ (copy) BIBO)"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\ (copy) BIBO)"));
    row("first match stands at a later key", QStringLiteral(R"(BIBOPATH1=C:\(x)\BIBO\ BIBOPATH2=D:\BIBO\)"), QStringLiteral(R"(BIBOPATH1=C:\(x)\BIBO\ BIBOPATH2=E:\Tools\Suite\BIBO\)"));
    row("wider set, comment mark kept", QStringLiteral(R"(;BIBOPATH1=C:\a-b\BIBO\)"), u';' + suiteBibo);
    row("wider set, another Unicode digit", QStringLiteral(u"BIBOPATH٣=C:\\a.b\\BIBO\\"), QStringLiteral(u"BIBOPATH٣=E:\\Tools\\Suite\\BIBO\\"));
    row("wider set, outside the BMP", QStringLiteral(u"BIBOPATH1=C:\\😀\\BIBO\\"), suiteBibo);
    row("wider set, posix", QStringLiteral("BIBOPATH1=/srv/OneDrive - Org/BIBO/"), QStringLiteral("BIBOPATH1=/opt/S/BIBO/"), QStringLiteral("/opt/S/"), PathRules::Posix);
    for (const QChar stop : QStringLiteral("?;<>\"*|\t=")) {
        const QString line = QStringLiteral(R"(BIBOPATH1=C:\a%1b\BIBO\)").arg(stop);
        same(qPrintable(QStringLiteral("no path holds U+%1").arg(stop.unicode(), 4, 16, QChar(u'0'))), line);
    }
    same("relative, dot", QStringLiteral(R"(BIBOPATH1=.\BIBO\)"));
    same("relative, two dots", QStringLiteral(R"(BIBOPATH1=..\Shared\BIBO\)"));
    same("relative, parenthesis", QStringLiteral(R"(BIBOPATH1=Lib (x)\BIBO\)"));
    same("rooted without drive", QStringLiteral(R"(BIBOPATH1=\Root (x)\BIBO\)"));
    same("drive-relative", QStringLiteral(R"(BIBOPATH1=C:X (1)\BIBO\)"));
    same("long-path syntax", QStringLiteral(R"(BIBOPATH1=\\?\C:\X\BIBO\)"));
    same("device syntax", QStringLiteral(R"(BIBOPATH1=\\.\C:\X (1)\BIBO\)"));
    same("only the leftmost wider match", QStringLiteral(R"(BIBOPATH1=.\(BIBO) BIBOPATH2=C:\(x)\BIBO\)"));
    same("root, Windows", QStringLiteral("BIBOPATH1=/o-1/BIBO/"));
    row("relative in the narrow set, as ever", QStringLiteral(R"(BIBOPATH1=Lib\BIBO\)"), suiteBibo);
    same("nothing before BIBO", QStringLiteral(R"(BIBOPATH6=BIBO\)"));
    same("small letters", QStringLiteral(R"(bibopath1=C:\X\BIBO\)"));
    same("no number", QStringLiteral(R"(BIBOPATH=C:\X\BIBO\)"));
    row("other Unicode digit", QStringLiteral(u"BIBOPATH٣=C:\\X\\BIBO\\"), QStringLiteral(u"BIBOPATH٣=E:\\Tools\\Suite\\BIBO\\"));
    same("digit outside the BMP", QStringLiteral(u"BIBOPATH\U0001D7CF=C:\\X\\BIBO\\"));
    row("comment mark kept", u';' + entry, u';' + rewritten);
    row("blanks kept", QStringLiteral("   ") + entry, QStringLiteral("   ") + rewritten);
    same("prefixed, up to date", u';' + rewritten);
    row("second key has the BIBO", QStringLiteral(R"(BIBOPATH1=C:.x BIBOPATH2=D:\BIBO)"), QStringLiteral(R"(BIBOPATH1=C:.x BIBOPATH2=E:\Tools\Suite\BIBO)"));
    row("second key in the folder", QStringLiteral(R"(BIBOPATH1=C:\BIBOPATH2=D:\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBOPATH2=D:\BIBO\)"));
    row("class edges", QStringLiteral(u"BIBOPATH1=Az[\\]^_` :09\u0410\u044FBIBO"), QStringLiteral(u"BIBOPATH1=E:\\Tools\\Suite\\BIBO"));
    same("@ before A", QStringLiteral("BIBOPATH1=@BIBO"));
    same("{ after z", QStringLiteral("BIBOPATH1=x{BIBO"));
    same("U+040F before А", QStringLiteral(u"BIBOPATH1=\u040FBIBO"));
    same("U+0450 after я", QStringLiteral(u"BIBOPATH1=\u0450BIBO"));
    row("empty folder", entry, QStringLiteral(R"(BIBOPATH1=BIBO\)"), QString());
    row("folder with a dot", entry, QStringLiteral(R"(BIBOPATH1=E:\Tools 1.5\BIBO\)"), QStringLiteral(R"(E:\Tools 1.5\)"));
    row("folder named BIBO", entry, QStringLiteral(R"(BIBOPATH1=E:\BIBO\BIBO\)"), QStringLiteral(R"(E:\BIBO\)"));
    row("folder named BIBO, again", QStringLiteral(R"(BIBOPATH1=E:\BIBO\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\BIBO\BIBO\)"), QStringLiteral(R"(E:\BIBO\)"));
    // A folder with "BIBO" before a character outside the narrow set would be
    // read back as the part before that "BIBO": such entries stay as they are.
    same("BIBO before a dot in the folder", entry, QStringLiteral(R"(D:\BIBO 2.0\)"));
    same("BIBO before Ё in the folder", entry, QStringLiteral(u"C:\\Tools\\BIBO\\Ёлка\\"));
    same("BIBO before a hyphen, Posix", QStringLiteral("BIBOPATH1=/old/BIBO/"), QStringLiteral("/srv/apps/BIBO-2.0/"), PathRules::Posix);
    row("replacement-like folder", entry, QStringLiteral(R"(BIBOPATH1=E:\$1\&\%1\\1\BIBO\)"), QStringLiteral(R"(E:\$1\&\%1\\1\)"));
    same("slash, Windows", QStringLiteral("BIBOPATH1=/old/BIBO/"));
    row("slash, Posix", QStringLiteral("BIBOPATH1=/old/BIBO/"), QStringLiteral("BIBOPATH1=/opt/S/BIBO/"), QStringLiteral("/opt/S/"), PathRules::Posix);
    row("dot, Posix, absolute in the wider set", QStringLiteral("BIBOPATH1=/o/.x/BIBO/"), QStringLiteral("BIBOPATH1=/opt/S/BIBO/"), QStringLiteral("/opt/S/"), PathRules::Posix);
    // Launch folders the narrow set doesn't take in: the entry is read back
    // with the wider set, so its tail must hold no "BIBO" that set reaches.
    const QString programFiles = QStringLiteral(R"(C:\Program Files (x86)\Ёлка 2.0\)");
    row("wider launch folder", entry, QStringLiteral(u"BIBOPATH1=C:\\Program Files (x86)\\Ёлка 2.0\\BIBO\\"), programFiles);
    same("wider launch folder, up to date", QStringLiteral(u"BIBOPATH1=C:\\Program Files (x86)\\Ёлка 2.0\\BIBO\\x"), programFiles);
    same("wider launch folder, tail with a later BIBO", QStringLiteral(R"(BIBOPATH1=C:\X\BIBO\ (copy) BIBO)"), QStringLiteral(R"(E:\Tools 1.5\)"));
    row("launch folder with a semicolon", entry, QStringLiteral(R"(BIBOPATH1=E:\a;b\BIBO\)"), QStringLiteral(R"(E:\a;b\)"));
}

void BiboRewriteTest::entries()
{
    QFETCH(QString, line);
    QFETCH(QString, folder);
    QFETCH(PathRules, rules);
    QFETCH(QString, expected);
    QCOMPARE(rewriteBiboEntry(line, folder, rules), expected);
    QCOMPARE(entryByPattern(line, folder, rules), expected);
}

void BiboRewriteTest::entriesAgreeWithPattern()
{
    // Pieces of both sets, their stops, and the starts of absolute,
    // relative and device folders.
    const QStringList pieces = QString::fromUtf8("BIBOPATH|BIBOPATH1=|BIBO|B|1|٣|=|\\|/| |:|a|Я|Ё|.|;|_|{|(|-|?|\t|C:|C:\\|\\\\").split(u'|');
    const struct { QString folder; PathRules rules; } starts[] = {
        { suite, PathRules::Windows },
        { QStringLiteral(u"C:\\BIBOЁ\\"), PathRules::Windows },
        { QStringLiteral(R"(C:\x (BIBO)\)"), PathRules::Windows },
        { QStringLiteral(R"(E:\a;b\)"), PathRules::Windows },
        { QStringLiteral("/o/"), PathRules::Posix },
        { QStringLiteral("/B/BIBO.1/"), PathRules::Posix },
        { QStringLiteral("/x.y/"), PathRules::Posix },
    };
    QRandomGenerator random(7);
    for (int round = 0; round < 30000; ++round) {
        QString line;
        for (int count = random.bounded(12); count > 0; --count)
            line += pieces.at(random.bounded(pieces.size()));
        for (const auto &[folder, rules] : starts) {
            const QString expected = entryByPattern(line, folder, rules);
            if (rewriteBiboEntry(line, folder, rules) != expected)
                QFAIL(qPrintable(QStringLiteral("%1 from %2: %3, not %4").arg(line, folder, rewriteBiboEntry(line, folder, rules), expected)));
        }
    }
}

void BiboRewriteTest::absoluteFolders_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("windows");
    QTest::addColumn<bool>("posix");

    QTest::newRow("drive") << QStringLiteral(R"(E:\Tools\)") << true << true;
    QTest::newRow("small drive letter") << QStringLiteral(R"(e:\)") << true << true;
    QTest::newRow("share") << QStringLiteral(R"(\\server\share\)") << true << true;
    QTest::newRow("root") << QStringLiteral("/opt/suite/") << false << true;
    QTest::newRow("empty") << QString() << false << false;
    QTest::newRow("dot") << QStringLiteral(R"(.\)") << false << false;
    QTest::newRow("drive, forward slash") << QStringLiteral("C:/Tools/") << false << false;
    QTest::newRow("drive-relative") << QStringLiteral(R"(C:Tools\)") << false << false;
    QTest::newRow("rooted without drive") << QStringLiteral(R"(\Tools\)") << false << false;
    QTest::newRow("digit as drive") << QStringLiteral(R"(1:\)") << false << false;
    QTest::newRow("Cyrillic as drive") << QStringLiteral(u"Д:\\") << false << false;
    QTest::newRow("relative posix") << QStringLiteral("opt/suite/") << false << false;
    QTest::newRow("long-path syntax") << QStringLiteral(R"(\\?\C:\Tools\)") << false << false;
    QTest::newRow("long-path share") << QStringLiteral(R"(\\?\UNC\server\share\)") << false << false;
    QTest::newRow("device syntax") << QStringLiteral(R"(\\.\C:\Tools\)") << false << false;
    QTest::newRow("share named like a device") << QStringLiteral(R"(\\.x\share\)") << true << true;
}

void BiboRewriteTest::absoluteFolders()
{
    QFETCH(QString, folder);
    QFETCH(bool, windows);
    QFETCH(bool, posix);
    QCOMPARE(isAbsoluteFolder(folder, PathRules::Windows), windows);
    QCOMPARE(isAbsoluteFolder(folder, PathRules::Posix), posix);
}

void BiboRewriteTest::files_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<PathRules>("rules");
    QTest::addColumn<QByteArray>("expected"); // null: the file stays as it was

    const auto row = [](const char *name, const QByteArray &content, const QByteArray &expected, const QString &folder = suite,
                        PathRules rules = PathRules::Windows) { QTest::newRow(name) << content << folder << rules << expected; };
    const QByteArray unchanged;
    const QByteArray old = cp1251(entry), now = cp1251(rewritten);

    // Line ends
    row("CR LF", "a=1\r\n" + old + "\r\n", "a=1\r\n" + now + "\r\n");
    row("LF", "a=1\n" + old + "\nb=2\n", "a=1\r\n" + now + "\r\nb=2\r\n");
    row("no final line end", "a=1\n" + old, "a=1\r\n" + now + "\r\n");
    row("lone CR dropped", "a\rb=1\n" + old + "\n", "ab=1\r\n" + now + "\r\n");
    row("CR after the last line end", old + "\n\r", now + "\r\n");
    row("CR CR LF", "a\r\r\n" + old + "\r\r\n", "a\r\n" + now + "\r\n");
    row("empty lines kept", "\n\n" + old + "\n\n", "\r\n\r\n" + now + "\r\n\r\n");
    row("empty file", "", unchanged);
    row("no entry", "a=1\nb=2", unchanged);
    row("up to date keeps its LF", "a=1\n" + now + "\n", unchanged);
    row("prefixed and up to date", ";" + now + "\n", unchanged);
    row("comment mark kept", ";" + old + "\n", ";" + now + "\r\n");
    row("NUL bytes kept", QByteArray("a\0b\n", 4) + old, QByteArray("a\0b\r\n", 5) + now + "\r\n");

    // Windows-1251 text
    QString cyrillic = QStringLiteral(u"Ёё");
    for (char16_t c = u'А'; c <= u'я'; ++c)
        cyrillic += QChar(c);
    row("every Cyrillic letter kept", cp1251(cyrillic) + "\n" + old, cp1251(cyrillic) + "\r\n" + now + "\r\n");
    QByteArray everyByte;
    for (int b = 1; b < 256; ++b) {
        if (b != '\r' && b != '\n')
            everyByte += char(b);
    }
    row("every byte value kept", everyByte + "\n" + old, everyByte + "\r\n" + now + "\r\n");
    row("Cyrillic launch folder", old, cp1251(QStringLiteral(u"BIBOPATH1=E:\\Программы\\BIBO\\\r\n")), QStringLiteral(u"E:\\Программы\\"));
    row("launch folder outside Windows-1251", old, unchanged, QStringLiteral(u"/opt/中文/"), PathRules::Posix);

    // Byte-order marks: Windows-1251 when everything fits, else the file's own encoding
    const QString text = QStringLiteral("x=1\n") + entry + u'\n';
    const QByteArray fits = "x=1\r\n" + now + "\r\n";
    row("UTF-8 mark, fits", utf8Mark + encoded(QStringLiteral(u"x=Ж\n") + entry, "UTF-8"), cp1251(QStringLiteral(u"x=Ж\r\n")) + now + "\r\n");
    row("UTF-16BE mark, fits", utf16BEMark + encoded(text, "UTF-16BE"), fits);
    row("UTF-16LE mark, fits", utf16LEMark + encoded(text, "UTF-16LE"), fits);
    row("UTF-32BE mark, fits", utf32BEMark + encoded(text, "UTF-32BE"), fits);
    row("UTF-32LE mark, fits", utf32LEMark + encoded(text, "UTF-32LE"), fits);
    // U+010D is 0D 01 in UTF-16LE: its 0x0D byte is no CR.
    const QString wide = QStringLiteral(u"x=č😀\u2028\n") + entry + u'\n';
    const QString wideOut = QStringLiteral(u"x=č😀\u2028\r\n") + rewritten + QStringLiteral("\r\n");
    row("UTF-8 mark, kept", utf8Mark + encoded(wide, "UTF-8"), utf8Mark + encoded(wideOut, "UTF-8"));
    row("UTF-16BE mark, kept", utf16BEMark + encoded(wide, "UTF-16BE"), utf16BEMark + encoded(wideOut, "UTF-16BE"));
    row("UTF-16LE mark, kept", utf16LEMark + encoded(wide, "UTF-16LE"), utf16LEMark + encoded(wideOut, "UTF-16LE"));
    row("UTF-32BE mark, kept", utf32BEMark + encoded(wide, "UTF-32BE"), utf32BEMark + encoded(wideOut, "UTF-32BE"));
    row("UTF-32LE mark, kept", utf32LEMark + encoded(wide, "UTF-32LE"), utf32LEMark + encoded(wideOut, "UTF-32LE"));
    row("UTF-8 mark, folder outside Windows-1251", utf8Mark + encoded(text, "UTF-8"),
        utf8Mark + encoded(QStringLiteral(u"x=1\r\nBIBOPATH1=/opt/中文/BIBO\\\r\n"), "UTF-8"), QStringLiteral(u"/opt/中文/"), PathRules::Posix);
    row("a second mark is text", utf8Mark + utf8Mark + encoded(text, "UTF-8"), utf8Mark + encoded(QStringLiteral(u"\uFEFF"), "UTF-8") + fits);
    row("half a mark is Windows-1251", "\xEF\xBB\n" + old, "\xEF\xBB\r\n" + now + "\r\n");
    // Windows-1251 bytes that would read back as a mark keep the file's own encoding.
    row("UTF-8 mark, text like a UTF-16 mark", utf8Mark + encoded(QStringLiteral(u"яю=1\n") + entry, "UTF-8"),
        utf8Mark + encoded(QStringLiteral(u"яю=1\r\n") + rewritten + QStringLiteral("\r\n"), "UTF-8"));
    row("UTF-16LE mark, text like a UTF-8 mark", utf16LEMark + encoded(QStringLiteral(u"п»ї\n") + entry, "UTF-16LE"),
        utf16LEMark + encoded(QStringLiteral(u"п»ї\r\n") + rewritten + QStringLiteral("\r\n"), "UTF-16LE"));
    row("no mark, a dropped CR before text like a mark", "\r\xFF\xFE=1\n" + old, unchanged);
    // UTF-16LE text that begins with U+0000 would begin with the UTF-32LE mark.
    const QByteArray nulFirst = utf16LEMark + QByteArray("\r\0\0\0\x01\0\n\0", 8) + encoded(entry + u'\n', "UTF-16LE");
    row("UTF-16LE mark, U+0000 after a dropped CR, fits", nulFirst, QByteArray("\0\x01\r\n", 4) + now + "\r\n");
    row("UTF-16LE mark, U+0000 after a dropped CR, kept", nulFirst, unchanged, QStringLiteral(u"/opt/中文/"), PathRules::Posix);
    row("UTF-16LE mark, U+0000 later", utf16LEMark + encoded(QStringLiteral(u"x\n"), "UTF-16LE") + nulFirst.mid(2),
        utf16LEMark + encoded(QStringLiteral(u"x\r\n\0\u0001\r\nBIBOPATH1=/opt/中文/BIBO\\\r\n"), "UTF-16LE"),
        QStringLiteral(u"/opt/中文/"), PathRules::Posix);

    // Across the edges where reading, checking (after the mark) and writing
    // go on in another piece: characters of every width, and an entry, a few
    // bytes on from each edge. Filler lines end in CR LF, so the
    // replacement's bytes lie where the file's did.
    const auto fillerOf = [](int characters) {
        QString filler = QStringLiteral("f=0123456789abcdef\r\n").repeated(characters / 20 + 1).left(characters - 2);
        if (filler.endsWith(u'\r'))
            filler.back() = u'x';
        return filler + QStringLiteral("\r\n");
    };
    const QString wideLines = QStringLiteral(u"x=č😀\u2028\r\n") + entry + QStringLiteral("\r\n");
    const QString wideLinesOut = QStringLiteral(u"x=č😀\u2028\r\n") + rewritten + QStringLiteral("\r\n");
    static const struct { const char *name; QByteArray mark; int unit; } wideForms[] = {
        { "UTF-8", utf8Mark, 1 }, { "UTF-16LE", utf16LEMark, 2 }, { "UTF-32BE", utf32BEMark, 4 },
    };
    for (const int edge : std::set<int>{ numbers::readBufferBytes, numbers::checkBufferBytes, numbers::flushBytes }) {
        for (const auto &[encoding, mark, unit] : wideForms) {
            for (int before = unit; before <= 16 + mark.size(); before += unit) {
                const QString filler = fillerOf((edge - before - mark.size()) / unit);
                const QByteArray name = QByteArray(encoding) + " kept, " + QByteArray::number(before) + " bytes before "
                        + QByteArray::number(edge / 1024) + " KiB";
                row(name.constData(), mark + encoded(filler + wideLines, encoding), mark + encoded(filler + wideLinesOut, encoding));
            }
        }
        for (const int before : { 1, 10, 20, 30 }) {
            const QByteArray filler = cp1251(fillerOf(edge - before));
            const QByteArray name = "entry " + QByteArray::number(before) + " bytes before " + QByteArray::number(edge / 1024) + " KiB";
            row(name.constData(), filler + old + "\r\n", filler + now + "\r\n");
        }
    }

    // Bodies that don't decode cleanly stay as they are
    row("UTF-8 invalid byte", utf8Mark + "x=\xFF\n" + old, unchanged);
    row("UTF-8 overlong", utf8Mark + "x=\xC0\x80\n" + old, unchanged);
    row("UTF-8 surrogate", utf8Mark + "x=\xED\xA0\x80\n" + old, unchanged);
    row("UTF-8 above U+10FFFF", utf8Mark + "x=\xF4\x90\x80\x80\n" + old, unchanged);
    row("UTF-8 cut short", utf8Mark + old + "\n\xE2\x82", unchanged);
    row("UTF-16LE odd length", utf16LEMark + encoded(text, "UTF-16LE") + "x", unchanged);
    row("UTF-16LE lone high surrogate", utf16LEMark + encoded(text, "UTF-16LE") + QByteArray("\x3D\xD8", 2), unchanged);
    row("UTF-16BE lone low surrogate", utf16BEMark + QByteArray("\xDC\x00", 2) + encoded(text, "UTF-16BE"), unchanged);
    row("UTF-16BE reversed pair", utf16BEMark + QByteArray("\xDE\x00\xD8\x3D", 4) + encoded(text, "UTF-16BE"), unchanged);
    row("UTF-32LE wrong length", utf32LEMark + encoded(text, "UTF-32LE") + "xy", unchanged);
    row("UTF-32BE above U+10FFFF", utf32BEMark + QByteArray("\x00\x11\x00\x00", 4) + encoded(text, "UTF-32BE"), unchanged);
    row("UTF-32LE surrogate", utf32LEMark + QByteArray("\x00\xD8\x00\x00", 4) + encoded(text, "UTF-32LE"), unchanged);

    // Launch folders that entries must not receive
    row("empty launch folder", old, unchanged, QString());
    row("dot launch folder", old, unchanged, QStringLiteral(R"(.\)"));
    row("forward slashes on Windows", old, unchanged, QStringLiteral("C:/Tools/"));
    row("relative on Posix", old, unchanged, QStringLiteral("opt/suite/"), PathRules::Posix);
    row("line feed in the folder", old, unchanged, QStringLiteral("/opt/a\nBIBOPATH9=X/"), PathRules::Posix);
    row("CR in the folder", old, unchanged, QStringLiteral("/opt/a\rb/"), PathRules::Posix);
    row("absolute on Posix", old, "BIBOPATH1=/opt/Suite/BIBO\\\r\n", QStringLiteral("/opt/Suite/"), PathRules::Posix);
    row("share", old, "BIBOPATH1=\\\\srv\\share\\BIBO\\\r\n", QStringLiteral(R"(\\srv\share\)"));
}

void BiboRewriteTest::files()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, folder);
    QFETCH(PathRules, rules);
    QFETCH(QByteArray, expected);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("VELNOR.INI"));
    writeFile(path, content);
    const FileState before = stateOf(path);
    rewrite(path, folder, rules);
    if (expected.isNull()) {
        QCOMPARE(stateOf(path), before);
    } else {
        QCOMPARE(readAll(path), expected);
        // Rewritten once, the file is up to date for the same folder.
        const FileState after = stateOf(path);
        rewrite(path, folder, rules);
        QCOMPARE(stateOf(path), after);
    }
    QCOMPARE(entriesOf(dir.path()), { QStringLiteral("VELNOR.INI") }); // no temporary file left
}

void BiboRewriteTest::replacement_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<uint>("owner");
    QTest::addColumn<uint>("group");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<uint>("folderMode");
    QTest::addColumn<uint>("folderGroup");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<uint>("newGroup");

    // Mode, owner and group always come through; where they can't, or the
    // file is read-only even to root, the file stays as it was. A group may
    // give way only where that changes nobody's access.
    const auto row = [](const char *name, uint mode, uint owner, uint group, bool asNobody, bool replaced,
                        uint newGroup, uint folderMode = 0777, uint folderGroup = 0) {
        QTest::newRow(name) << mode << owner << group << asNobody << folderMode << folderGroup << replaced << newGroup;
    };
    row("0600", 0600, 0, 0, false, true, 0);
    row("0640", 0640, 0, 0, false, true, 0);
    row("0755", 0755, 0, 0, false, true, 0);
    row("group-writable only", 0464, 0, 0, false, true, 0);
    row("set-ID bits", 06644, 0, 0, false, true, 0);
    row("read-only", 0444, 0, 0, false, false, 0);
    row("another user's file, as root", 0644, nobody, nobody, false, true, nobody);
    row("own file, as nobody", 0644, nobody, nobody, true, true, nobody);
    row("root's file, written through the group", 0664, 0, nobody, true, false, nobody);
    row("foreign group like others", 0644, nobody, 0, true, true, nobody);
    row("foreign group with more than others", 0664, nobody, 0, true, false, 0);
    row("set-group-ID the system would drop", 02664, nobody, 3000, true, false, 3000, 02777, 3000);
    row("closed folder", 0666, 0, 0, true, false, 0, 0555);
}

void BiboRewriteTest::replacement()
{
    QFETCH(uint, mode);
    QFETCH(uint, owner);
    QFETCH(uint, group);
    QFETCH(bool, asNobody);
    QFETCH(uint, folderMode);
    QFETCH(uint, folderGroup);
    QFETCH(bool, replaced);
    QFETCH(uint, newGroup);
    if (geteuid() != 0)
        QSKIP("needs root to hand files to other users");

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("VELNOR.INI"));
    writeFile(path, "a=1\n" + cp1251(entry) + "\n", mode);
    QCOMPARE(chown(QFile::encodeName(path).constData(), owner, group), 0);
    QCOMPARE(chmod(QFile::encodeName(path).constData(), mode), 0); // chown clears set-ID bits
    const QByteArray folder = QFile::encodeName(dir.path());
    QCOMPARE(chown(folder.constData(), 0, folderGroup), 0);
    QCOMPARE(chmod(folder.constData(), folderMode), 0);
    const FileState before = stateOf(path);

    rewrite(path, suite, PathRules::Windows, asNobody);
    const FileState after = stateOf(path);
    chmod(folder.constData(), 0700);
    QCOMPARE(after.inode != before.inode, replaced);
    QCOMPARE(after.bytes, replaced ? "a=1\r\n" + cp1251(rewritten) + "\r\n" : before.bytes);
    QCOMPARE(uint(after.mode), mode);
    QCOMPARE(uint(after.owner), owner);
    QCOMPARE(uint(after.group), replaced ? newGroup : group);
    QCOMPARE(entriesOf(dir.path()), { QStringLiteral("VELNOR.INI") });
}

void BiboRewriteTest::keepsSymbolicLink()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("real")));
    const QString target = dir.filePath(QStringLiteral("real/settings.ini"));
    writeFile(target, cp1251(entry), 0640);
    QVERIFY(QFile::link(QStringLiteral("real/settings.ini"), dir.filePath(QStringLiteral("VELNOR.INI"))));

    rewrite(dir.filePath(QStringLiteral("VELNOR.INI")), suite, PathRules::Windows);
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("VELNOR.INI"))).isSymLink());
    QCOMPARE(readAll(target), cp1251(rewritten) + "\r\n");
    QCOMPARE(stateOf(target).mode, mode_t(0640));
    QCOMPARE(entriesOf(dir.filePath(QStringLiteral("real"))), { QStringLiteral("settings.ini") });
}

void BiboRewriteTest::longLines_data()
{
    QTest::addColumn<int>("length");   // of the line holding the entry
    QTest::addColumn<int>("nextLine"); // of a line after it
    QTest::addColumn<qint64>("sparse"); // a size the file is stretched to with NULs, or 0
    QTest::addColumn<bool>("replaced");

    QTest::newRow("just under the limit") << numbers::maximumLineLength - 1 << 1 << qint64(0) << true;
    QTest::newRow("at the limit") << numbers::maximumLineLength << 1 << qint64(0) << false;
    QTest::newRow("a later line at the limit") << 100 << numbers::maximumLineLength << qint64(0) << false;
    // More than a string can hold: reading must stop long before.
    QTest::newRow("a gigabyte in one line") << 100 << 0 << (qint64(1) << 30) << false;
}

void BiboRewriteTest::longLines()
{
    QFETCH(int, length);
    QFETCH(int, nextLine);
    QFETCH(qint64, sparse);
    QFETCH(bool, replaced);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("VELNOR.INI"));
    const QByteArray line = cp1251(entry) + QByteArray(length - entry.size(), 'x');
    writeFile(path, line + (nextLine ? "\n" + QByteArray(nextLine, 'y') : QByteArray()));
    if (sparse)
        QVERIFY(QFile::resize(path, sparse));
    struct stat before, after;
    QCOMPARE(stat(QFile::encodeName(path).constData(), &before), 0);
    rewrite(path, suite, PathRules::Windows);
    QCOMPARE(stat(QFile::encodeName(path).constData(), &after), 0);
    QCOMPARE(after.st_ino != before.st_ino, replaced);
    if (replaced) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readLine(), cp1251(rewritten) + QByteArray(length - entry.size(), 'x') + "\r\n");
    }
}

void BiboRewriteTest::windows1251EveryByte()
{
    // Every byte reads as one character and writes back as the same byte;
    // where iconv knows the byte, the character is iconv's, and 0x98, which
    // it doesn't know, is U+0098 as on Windows.
    QTextCodec *codec = windows1251Codec();
    for (int byte = 0; byte < 256; ++byte) {
        const QByteArray bytes(1, char(byte));
        const QString text = codec->toUnicode(bytes);
        QCOMPARE(text.size(), 1);
        if (byte == 0x98)
            QCOMPARE(text, QString(QChar(0x98)));
        else
            QCOMPARE(encoded(text, "WINDOWS-1251"), bytes);
        QTextEncoder encoder(codec, QTextCodec::IgnoreHeader);
        QCOMPARE(encoder.fromUnicode(text), bytes);
        QVERIFY(!encoder.hasFailure());
    }
    QTextEncoder encoder(codec, QTextCodec::IgnoreHeader);
    QCOMPARE(encoder.fromUnicode(QStringLiteral(u"Ωé\u0099")), QByteArray("???"));
    QVERIFY(encoder.hasFailure());
}

void BiboRewriteTest::anotherSaveWins_data()
{
    QTest::addColumn<QString>("save"); // what the other program does just before the replacement
    QTest::addColumn<int>("fillerKiB"); // lines after the entry
    QTest::addColumn<bool>("replaced");

    QTest::newRow("nobody else") << QString() << 0 << true;
    QTest::newRow("written in place") << QStringLiteral("in place") << 0 << false;
    QTest::newRow("same size, later time") << QStringLiteral("same size") << 0 << false;
    QTest::newRow("renamed over, same size and time") << QStringLiteral("renamed") << 0 << false;
    QTest::newRow("removed") << QStringLiteral("removed") << 0 << false;
    // Within one tick of a coarse clock (2 s on FAT) a save keeps the time.
    QTest::newRow("in place, same size and time") << QStringLiteral("same time") << 0 << false;
    QTest::newRow("nobody else, 2 MiB changed just now") << QStringLiteral("just now") << 2048 << true;
    QTest::newRow("in place, same size and time, 2 MiB changed just now") << QStringLiteral("just now, same time") << 2048
                                                                          << false;
}

void BiboRewriteTest::anotherSaveWins()
{
    QFETCH(QString, save);
    QFETCH(int, fillerKiB);
    QFETCH(bool, replaced);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("VELNOR.INI"));
    const QByteArray filler = QByteArray("x=0123456789abc\n").repeated(fillerKiB * 64);
    const QByteArray content = "a=1\n" + cp1251(entry) + "\n" + filler;
    writeFile(path, content);
    if (save.startsWith(QLatin1String("just now"))) {
        // Later than the launcher's own new file, as a save in the same tick of a coarse clock looks.
        const struct timespec soon[2] = { { time(nullptr) + 3600, 0 }, { time(nullptr) + 3600, 0 } };
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), soon, 0), 0);
    }
    // The other program's version also has an out-of-date entry.
    const QByteArray theirs = "a=2\n" + cp1251(entry) + "\n" + filler;
    const auto saveTheirs = [&] {
        struct stat was;
        QCOMPARE(stat(QFile::encodeName(path).constData(), &was), 0);
        if (save == QLatin1String("in place")) {
            writeFile(path, theirs + "b=3\n");
        } else if (save == QLatin1String("same size")) {
            writeFile(path, theirs);
            const struct timespec later[2] = { was.st_atim, { was.st_mtim.tv_sec + 1, was.st_mtim.tv_nsec } };
            QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), later, 0), 0);
        } else if (save.endsWith(QLatin1String("same time"))) {
            writeFile(path, theirs);
            const struct timespec same[2] = { was.st_atim, was.st_mtim };
            QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), same, 0), 0);
        } else if (save == QLatin1String("renamed")) {
            const QString other = dir.filePath(QStringLiteral("saved"));
            writeFile(other, theirs);
            const struct timespec same[2] = { was.st_atim, was.st_mtim };
            QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(other).constData(), same, 0), 0);
            QCOMPARE(rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
        } else if (save == QLatin1String("removed")) {
            QVERIFY(QFile::remove(path));
        }
    };
    rewrite(path, suite, PathRules::Windows, false, saveTheirs);

    const QByteArray now = "\r\n" + cp1251(rewritten) + "\r\n";
    const QByteArray newFiller = QByteArray(filler).replace("\n", "\r\n");
    const QByteArray expected = replaced ? "a=1" + now + newFiller
            : save == QLatin1String("in place") ? theirs + "b=3\n"
            : save == QLatin1String("removed") ? QByteArray() : theirs;
    QCOMPARE(readAll(path), expected);
    QCOMPARE(entriesOf(dir.path()), expected.isEmpty() ? QStringList() : QStringList{ QStringLiteral("VELNOR.INI") });
    if (!expected.isEmpty() && !replaced) {
        // The next start brings the other program's version up to date.
        rewrite(path, suite, PathRules::Windows);
        QVERIFY(readAll(path).startsWith("a=2" + now));
    }
}

void BiboRewriteTest::startsFromOneFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<PathRules>("rules");
    QTest::addColumn<bool>("written"); // by the first start

    const auto row = [](const char *name, const QString &folder, PathRules rules, bool written) {
        QTest::newRow(name) << folder << rules << written;
    };
    row("BIBO before a hyphen", QStringLiteral(R"(D:\BIBO-2\)"), PathRules::Windows, false);
    row("BIBO before a dot", QStringLiteral(R"(D:\BIBO 2.0\)"), PathRules::Windows, false);
    row("BIBO before a parenthesis", QStringLiteral(R"(D:\Apps\BIBO (x86)\)"), PathRules::Windows, false);
    row("BIBO before Ё", QStringLiteral(u"C:\\Tools\\BIBO\\Ёлка\\"), PathRules::Windows, false);
    row("plain", QStringLiteral(R"(E:\Tools\Suite\)"), PathRules::Windows, true);
    row("dot, no BIBO", QStringLiteral(R"(E:\Tools 1.5\)"), PathRules::Windows, true);
    row("Program Files (x86)", QStringLiteral(R"(C:\Program Files (x86)\Velnor\)"), PathRules::Windows, true);
    row("user name, OneDrive, Ё", QStringLiteral(u"C:\\Users\\j.smith\\OneDrive - Org\\Семён\\"), PathRules::Windows, true);
    row("share", QStringLiteral(R"(\\srv\share (a)\v1.2\)"), PathRules::Windows, true);
    row("BIBO before a hyphen, Posix", QStringLiteral("/srv/apps/BIBO-2.0/"), PathRules::Posix, false);
    row("BIBO before a dot, Posix", QStringLiteral("/srv/BIBO.d/"), PathRules::Posix, false);
    row("BIBO before a parenthesis, Posix", QStringLiteral("/srv/BIBO(1)/"), PathRules::Posix, false);
    row("BIBO before Ё, Posix", QStringLiteral(u"/srv/BIBOЁ/"), PathRules::Posix, false);
    row("plain, Posix", QStringLiteral("/srv/apps/suite/"), PathRules::Posix, true);
    row("dot, no BIBO, Posix", QStringLiteral("/srv/apps-2.0/"), PathRules::Posix, true);
    row("OneDrive, Posix", QStringLiteral("/tmp/demo/OneDrive - Org/Velnor/"), PathRules::Posix, true);
}

void BiboRewriteTest::startsFromOneFolder()
{
    QFETCH(QString, folder);
    QFETCH(PathRules, rules);
    QFETCH(bool, written);

    // Three starts in a row from one folder write the file at most once;
    // a start after the folder moved brings every entry along.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("VELNOR.INI"));
    writeFile(path, "a=1\n" + cp1251(entry) + "\nBIBOPATH2=/old/BIBO/x\n");
    const auto pointingInto = [rules](const QString &place) {
        const QString second = rules == PathRules::Posix ? QStringLiteral("BIBOPATH2=") + place + QStringLiteral("BIBO/x")
                                                         : QStringLiteral("BIBOPATH2=/old/BIBO/x");
        return "a=1\r\n" + cp1251(QStringLiteral("BIBOPATH1=") + place + QStringLiteral("BIBO\\")) + "\r\n" + cp1251(second) + "\r\n";
    };
    FileState before = stateOf(path);
    for (int start = 1; start <= 3; ++start) {
        rewrite(path, folder, rules);
        const FileState after = stateOf(path);
        QCOMPARE(after.inode != before.inode, written && start == 1);
        if (after.inode != before.inode)
            QCOMPARE(after.bytes, pointingInto(folder));
        else
            QCOMPARE(after, before);
        before = after;
    }
    const QString moved = rules == PathRules::Posix ? QStringLiteral("/media/Stick (2)/") : QStringLiteral(R"(F:\Stick (2)\)");
    rewrite(path, moved, rules);
    QCOMPARE(readAll(path), pointingInto(moved));
}

QTEST_APPLESS_MAIN(BiboRewriteTest)
#include "tst_biborewrite.moc"
