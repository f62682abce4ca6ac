#include "bibo_rewrite.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegExp>
#include <QTemporaryDir>
#include <QtTest>

#include <iconv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PathRules)

namespace {

const QString suite = QStringLiteral(R"(E:\Tools\Suite\)");

// The reference encoder: the C library's iconv, independent of Qt and of the
// launcher's own encoders.
QByteArray encoded(const QString &text, const char *encoding)
{
    iconv_t converter = iconv_open(encoding, "UTF-8");
    Q_ASSERT(converter != iconv_t(-1));
    QByteArray in = text.toUtf8();
    QByteArray out(in.size() * 4 + 4, '\0');
    char *inPtr = in.data();
    char *outPtr = out.data();
    size_t inLeft = size_t(in.size());
    size_t outLeft = size_t(out.size());
    const size_t result = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(converter);
    Q_ASSERT(result != size_t(-1));
    out.truncate(out.size() - int(outLeft));
    return out;
}

QByteArray cp1251(const QString &text) { return encoded(text, "WINDOWS-1251"); }

const QByteArray utf8Mark("\xEF\xBB\xBF");
const QByteArray utf16BEMark("\xFE\xFF");
const QByteArray utf16LEMark("\xFF\xFE");
const QByteArray utf32BEMark("\x00\x00\xFE\xFF", 4);
const QByteArray utf32LEMark("\xFF\xFE\x00\x00", 4);

// The entry pattern applied the way the settings rewrite defines it, with Qt's
// regular expressions (the prefix before the key kept), to check the linear
// matcher against.
QString entryByPattern(const QString &line, const QString &folder, PathRules rules)
{
    QRegExp pattern(rules == PathRules::Windows ? QStringLiteral(u"(BIBOPATH\\d+=)([\\_ :A-zА-я0-9]+)(BIBO.*)")
                                                : QStringLiteral(u"(BIBOPATH\\d+=)([\\_ :A-zА-я0-9/]+)(BIBO.*)"));
    const QString s = line + u'\n';
    QString result = s;
    for (int offset = 0; pattern.indexIn(s, offset) >= 0; offset = pattern.pos() + pattern.matchedLength()) {
        const QString rebuilt = s.left(pattern.pos()) + pattern.cap(1) + folder + pattern.cap(3);
        if (rebuilt != s)
            result = rebuilt;
    }
    result.chop(1);
    return result;
}

struct Outcome
{
    QByteArray bytes;
    bool replaced = false;
    QStringList others; // what else the folder holds afterwards
    mode_t mode = 0;
};

ino_t inodeOf(const QString &path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

Outcome rewriteIn(const QString &folderPath, const QString &fileName, const QString &launchFolder, PathRules rules)
{
    const QString path = folderPath + u'/' + fileName;
    const ino_t before = inodeOf(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    rewriteBiboPaths(file, launchFolder, rules);
    file.close();

    Outcome outcome;
    QFile result(path);
    result.open(QIODevice::ReadOnly);
    outcome.bytes = result.readAll();
    outcome.replaced = inodeOf(path) != before;
    outcome.others = QDir(folderPath).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    outcome.others.removeAll(fileName);
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) == 0)
        outcome.mode = info.st_mode & 07777;
    return outcome;
}

void writeFile(const QString &path, const QByteArray &bytes, mode_t mode = 0644)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
    file.close();
    QCOMPARE(chmod(QFile::encodeName(path).constData(), mode), 0);
}

} // namespace

class BiboRewriteTest : public QObject
{
    Q_OBJECT

private slots:
    void entries_data();
    void entries();
    void entriesAgreeWithPattern_data();
    void entriesAgreeWithPattern();
    void absoluteFolders_data();
    void absoluteFolders();
    void files_data();
    void files();
    void keepsPermissions_data();
    void keepsPermissions();
    void leavesReadOnlyFile();
    void keepsSymbolicLink();
    void leavesFileInClosedFolder();
};

void BiboRewriteTest::entries_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<PathRules>("rules");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char *name, const QString &line, const QString &expected,
                        const QString &folder = suite, PathRules rules = PathRules::Windows) {
        QTest::newRow(name) << line << folder << rules << expected;
    };
    row("old place", QStringLiteral(R"(BIBOPATH1=C:\Old Place\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\)"));
    row("tail kept", QStringLiteral(R"(BIBOPATH12=D:\A\BIBO\Parts\Power\)"),
        QStringLiteral(R"(BIBOPATH12=E:\Tools\Suite\BIBO\Parts\Power\)"));
    row("up to date", QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\)"));
    row("letter case", QStringLiteral(R"(BIBOPATH1=e:\tools\suite\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\)"));
    row("last reachable BIBO", QStringLiteral(R"(BIBOPATH2=C:\X\BIBO\BIBOLIB\)"), QStringLiteral(R"(BIBOPATH2=E:\Tools\Suite\BIBOLIB\)"));
    row("BIBO past a stop character", QStringLiteral(R"(BIBOPATH2=C:\X\BIBO\a.b\BIBO\)"),
        QStringLiteral(R"(BIBOPATH2=E:\Tools\Suite\BIBO\a.b\BIBO\)"));
    row("parenthesis", QStringLiteral(R"(BIBOPATH3=C:\Program Files (x86)\App\BIBO\)"),
        QStringLiteral(R"(BIBOPATH3=C:\Program Files (x86)\App\BIBO\)"));
    row("dot", QStringLiteral(R"(BIBOPATH4=C:\App 2.0\BIBO\)"), QStringLiteral(R"(BIBOPATH4=C:\App 2.0\BIBO\)"));
    row("Cyrillic А to я", QStringLiteral(u"BIBOPATH5=C:\\АБВабвЮЯюя\\BIBO\\"), QStringLiteral(u"BIBOPATH5=E:\\Tools\\Suite\\BIBO\\"));
    row("Ё outside", QStringLiteral(u"BIBOPATH5=C:\\Ёлка\\BIBO\\"), QStringLiteral(u"BIBOPATH5=C:\\Ёлка\\BIBO\\"));
    row("ё outside", QStringLiteral(u"BIBOPATH5=C:\\ёлка\\BIBO\\"), QStringLiteral(u"BIBOPATH5=C:\\ёлка\\BIBO\\"));
    row("nothing before BIBO", QStringLiteral(R"(BIBOPATH6=BIBO\)"), QStringLiteral(R"(BIBOPATH6=BIBO\)"));
    row("small letters", QStringLiteral(R"(bibopath1=C:\X\BIBO\)"), QStringLiteral(R"(bibopath1=C:\X\BIBO\)"));
    row("no number", QStringLiteral(R"(BIBOPATH=C:\X\BIBO\)"), QStringLiteral(R"(BIBOPATH=C:\X\BIBO\)"));
    row("other Unicode digits", QStringLiteral(u"BIBOPATH٣=C:\\X\\BIBO\\"), QStringLiteral(u"BIBOPATH٣=E:\\Tools\\Suite\\BIBO\\"));
    row("digit outside the BMP", QStringLiteral(u"BIBOPATH\U0001D7CF=C:\\X\\BIBO\\"),
        QStringLiteral(u"BIBOPATH\U0001D7CF=C:\\X\\BIBO\\"));
    row("comment mark kept", QStringLiteral(R"(;BIBOPATH1=C:\X\BIBO\)"), QStringLiteral(R"(;BIBOPATH1=E:\Tools\Suite\BIBO\)"));
    row("blanks kept", QStringLiteral(R"(   BIBOPATH1=C:\X\BIBO\)"), QStringLiteral(R"(   BIBOPATH1=E:\Tools\Suite\BIBO\)"));
    row("prefixed and up to date", QStringLiteral(R"(;BIBOPATH1=E:\Tools\Suite\BIBO\)"),
        QStringLiteral(R"(;BIBOPATH1=E:\Tools\Suite\BIBO\)"));
    row("first key without BIBO, second with", QStringLiteral(R"(BIBOPATH1=C:.x BIBOPATH2=D:\BIBO)"),
        QStringLiteral(R"(BIBOPATH1=C:.x BIBOPATH2=E:\Tools\Suite\BIBO)"));
    row("second key inside the folder", QStringLiteral(R"(BIBOPATH1=C:\BIBOPATH2=D:\BIBO\)"),
        QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBOPATH2=D:\BIBO\)"));
    row("class edges inside", QStringLiteral(u"BIBOPATH1=Az[\\]^_` :09\u0410\u044F/BIBO"),
        QStringLiteral(u"BIBOPATH1=Az[\\]^_` :09\u0410\u044F/BIBO"));
    row("class edges inside, slash last", QStringLiteral(u"BIBOPATH1=Az[\\]^_` :09\u0410\u044FBIBO"),
        QStringLiteral(u"BIBOPATH1=E:\\Tools\\Suite\\BIBO"));
    row("@ before A", QStringLiteral(u"BIBOPATH1=@BIBO"), QStringLiteral(u"BIBOPATH1=@BIBO"));
    row("{ after z", QStringLiteral(u"BIBOPATH1=x{BIBO"), QStringLiteral(u"BIBOPATH1=x{BIBO"));
    row("U+040F before А", QStringLiteral(u"BIBOPATH1=\u040FBIBO"), QStringLiteral(u"BIBOPATH1=\u040FBIBO"));
    row("U+0450 after я", QStringLiteral(u"BIBOPATH1=\u0450BIBO"), QStringLiteral(u"BIBOPATH1=\u0450BIBO"));
    row("empty folder", QStringLiteral(R"(BIBOPATH1=C:\X\BIBO\)"), QStringLiteral(R"(BIBOPATH1=BIBO\)"), QString());
    row("folder with a dot", QStringLiteral(R"(BIBOPATH1=C:\X\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\Tools 1.5\BIBO\)"),
        QStringLiteral(R"(E:\Tools 1.5\)"));
    row("folder named BIBO", QStringLiteral(R"(BIBOPATH1=C:\X\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\BIBO\BIBO\)"),
        QStringLiteral(R"(E:\BIBO\)"));
    row("folder named BIBO, again", QStringLiteral(R"(BIBOPATH1=E:\BIBO\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\BIBO\BIBO\)"),
        QStringLiteral(R"(E:\BIBO\)"));
    row("replacement-looking folder", QStringLiteral(R"(BIBOPATH1=C:\X\BIBO\)"), QStringLiteral(R"(BIBOPATH1=E:\$1\&\%1\\1\BIBO\)"),
        QStringLiteral(R"(E:\$1\&\%1\\1\)"));
    row("slash, Windows", QStringLiteral("BIBOPATH1=/old/BIBO/"), QStringLiteral("BIBOPATH1=/old/BIBO/"));
    row("slash, Posix", QStringLiteral("BIBOPATH1=/old/BIBO/"), QStringLiteral("BIBOPATH1=/opt/Suite/BIBO/"),
        QStringLiteral("/opt/Suite/"), PathRules::Posix);
    row("Posix, up to date", QStringLiteral("BIBOPATH1=/opt/Suite/BIBO/"), QStringLiteral("BIBOPATH1=/opt/Suite/BIBO/"),
        QStringLiteral("/opt/Suite/"), PathRules::Posix);
    row("Posix, dot still outside", QStringLiteral("BIBOPATH1=/old/.x/BIBO/"), QStringLiteral("BIBOPATH1=/old/.x/BIBO/"),
        QStringLiteral("/opt/Suite/"), PathRules::Posix);
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

void BiboRewriteTest::entriesAgreeWithPattern_data()
{
    QTest::addColumn<PathRules>("rules");
    QTest::newRow("Windows") << PathRules::Windows;
    QTest::newRow("Posix") << PathRules::Posix;
}

void BiboRewriteTest::entriesAgreeWithPattern()
{
    QFETCH(PathRules, rules);
    const QStringList pieces = { QStringLiteral("BIBOPATH"), QStringLiteral("BIBOPATH1="), QStringLiteral("BIBO"),
                                 QStringLiteral("B"), QStringLiteral("1"), QStringLiteral(u"٣"), QStringLiteral("="),
                                 QStringLiteral("\\"), QStringLiteral("/"), QStringLiteral(" "), QStringLiteral(":"),
                                 QStringLiteral("a"), QStringLiteral(u"Я"), QStringLiteral(u"Ё"), QStringLiteral("."),
                                 QStringLiteral(";"), QStringLiteral("_"), QStringLiteral("{") };
    const QString folder = rules == PathRules::Windows ? suite : QStringLiteral("/opt/Suite/");
    QRandomGenerator random(7);
    for (int round = 0; round < 30000; ++round) {
        QString line;
        for (int count = random.bounded(12); count > 0; --count)
            line += pieces.at(random.bounded(pieces.size()));
        QCOMPARE(rewriteBiboEntry(line, folder, rules), entryByPattern(line, folder, rules));
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

    const QString entry = QStringLiteral(R"(BIBOPATH1=C:\X\BIBO\)");
    const QString rewritten = QStringLiteral(R"(BIBOPATH1=E:\Tools\Suite\BIBO\)");
    const auto row = [](const char *name, const QByteArray &content, const QByteArray &expected,
                        const QString &folder = suite, PathRules rules = PathRules::Windows) {
        QTest::newRow(name) << content << folder << rules << expected;
    };
    const QByteArray unchanged;

    // Line ends
    row("CR LF", "a=1\r\nBIBOPATH1=C:\\Old Place\\BIBO\\\r\n", "a=1\r\nBIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n");
    row("LF", "a=1\nBIBOPATH1=C:\\X\\BIBO\\\nb=2\n", "a=1\r\nBIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\nb=2\r\n");
    row("no final line end", "a=1\nBIBOPATH1=C:\\X\\BIBO\\", "a=1\r\nBIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n");
    row("lone CR dropped", "a\rb=1\nBIBOPATH1=C:\\X\\BIBO\\\n", "ab=1\r\nBIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n");
    row("CR after the last line end", "BIBOPATH1=C:\\X\\BIBO\\\n\r", "BIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n");
    row("CR CR LF", "a\r\r\nBIBOPATH1=C:\\X\\BIBO\\\r\r\n", "a\r\nBIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n");
    row("empty lines kept", "\n\nBIBOPATH1=C:\\X\\BIBO\\\n\n", "\r\n\r\nBIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n\r\n");
    row("empty file", "", unchanged);
    row("no entry", "a=1\nb=2", unchanged);
    row("up to date keeps its LF", "a=1\nBIBOPATH1=E:\\Tools\\Suite\\BIBO\\\n", unchanged);
    row("prefixed and up to date", ";BIBOPATH1=E:\\Tools\\Suite\\BIBO\\\n", unchanged);
    row("comment mark kept", ";BIBOPATH1=C:\\X\\BIBO\\\n", ";BIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n");
    row("NUL bytes kept", QByteArray("a\0b\nBIBOPATH1=C:\\X\\BIBO\\\n", 25),
        QByteArray("a\0b\r\nBIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n", 37));

    // Windows-1251 text
    QString cyrillic;
    for (char16_t c = u'А'; c <= u'я'; ++c)
        cyrillic += QChar(c);
    cyrillic += QStringLiteral(u"Ёё");
    row("every Cyrillic letter kept", cp1251(QStringLiteral("; ") + cyrillic + u'\n' + entry + u'\n'),
        cp1251(QStringLiteral("; ") + cyrillic + QStringLiteral("\r\n") + rewritten + QStringLiteral("\r\n")));
    QByteArray everyByte;
    for (int b = 1; b < 256; ++b) {
        if (b != '\r' && b != '\n')
            everyByte += char(b);
    }
    row("every byte value kept", everyByte + "\n" + cp1251(entry), everyByte + "\r\n" + cp1251(rewritten) + "\r\n");
    row("Cyrillic folder in the entry", cp1251(QStringLiteral(u"BIBOPATH5=C:\\Программы\\BIBO\\\n")),
        cp1251(QStringLiteral(u"BIBOPATH5=E:\\Tools\\Suite\\BIBO\\\r\n")));
    row("Cyrillic launch folder", cp1251(entry), cp1251(QStringLiteral(u"BIBOPATH1=E:\\Программы\\BIBO\\\r\n")),
        QStringLiteral(u"E:\\Программы\\"));
    row("launch folder outside Windows-1251", cp1251(entry), unchanged, QStringLiteral(u"/opt/中文/"), PathRules::Posix);

    // Byte-order marks: Windows-1251 when everything fits, else the file's own encoding
    const QString text = QStringLiteral("x=1\n") + entry + u'\n';
    const QString fits = QStringLiteral("x=1\r\n") + rewritten + QStringLiteral("\r\n");
    row("UTF-8 mark, fits", utf8Mark + encoded(QStringLiteral(u"x=Ж\n") + entry, "UTF-8"),
        cp1251(QStringLiteral(u"x=Ж\r\n") + rewritten + QStringLiteral("\r\n")));
    row("UTF-16BE mark, fits", utf16BEMark + encoded(text, "UTF-16BE"), cp1251(fits));
    row("UTF-16LE mark, fits", utf16LEMark + encoded(text, "UTF-16LE"), cp1251(fits));
    row("UTF-32BE mark, fits", utf32BEMark + encoded(text, "UTF-32BE"), cp1251(fits));
    row("UTF-32LE mark, fits", utf32LEMark + encoded(text, "UTF-32LE"), cp1251(fits));
    // U+010D is 0D 01 in UTF-16LE: its 0x0D byte is no CR.
    const QString wide = QStringLiteral(u"x=č😀\u2028\n") + entry + u'\n';
    const QString wideOut = QStringLiteral(u"x=č😀\u2028\r\n") + rewritten + QStringLiteral("\r\n");
    row("UTF-8 mark, kept", utf8Mark + encoded(wide, "UTF-8"), utf8Mark + encoded(wideOut, "UTF-8"));
    row("UTF-16BE mark, kept", utf16BEMark + encoded(wide, "UTF-16BE"), utf16BEMark + encoded(wideOut, "UTF-16BE"));
    row("UTF-16LE mark, kept", utf16LEMark + encoded(wide, "UTF-16LE"), utf16LEMark + encoded(wideOut, "UTF-16LE"));
    row("UTF-32BE mark, kept", utf32BEMark + encoded(wide, "UTF-32BE"), utf32BEMark + encoded(wideOut, "UTF-32BE"));
    row("UTF-32LE mark, kept", utf32LEMark + encoded(wide, "UTF-32LE"), utf32LEMark + encoded(wideOut, "UTF-32LE"));
    row("UTF-8 mark, launch folder outside Windows-1251", utf8Mark + encoded(text, "UTF-8"),
        utf8Mark + encoded(QStringLiteral(u"x=1\r\nBIBOPATH1=/opt/中文/BIBO\\\r\n"), "UTF-8"),
        QStringLiteral(u"/opt/中文/"), PathRules::Posix);
    row("a second mark is text", utf8Mark + utf8Mark + encoded(text, "UTF-8"),
        utf8Mark + encoded(QStringLiteral(u"\uFEFF") + fits, "UTF-8"));
    row("Windows-1251 text that only looks like a mark", "\xEF\xBB" + cp1251(u'\n' + entry),
        "\xEF\xBB\r\n" + cp1251(rewritten) + "\r\n");

    // Bodies that don't decode cleanly stay as they are
    row("UTF-8 invalid byte", utf8Mark + "x=\xFF\n" + cp1251(entry), unchanged);
    row("UTF-8 overlong", utf8Mark + "x=\xC0\x80\n" + cp1251(entry), unchanged);
    row("UTF-8 surrogate", utf8Mark + "x=\xED\xA0\x80\n" + cp1251(entry), unchanged);
    row("UTF-8 above U+10FFFF", utf8Mark + "x=\xF4\x90\x80\x80\n" + cp1251(entry), unchanged);
    row("UTF-8 cut short", utf8Mark + cp1251(entry) + "\n\xE2\x82", unchanged);
    row("UTF-16LE odd length", utf16LEMark + encoded(text, "UTF-16LE") + "x", unchanged);
    row("UTF-16LE lone high surrogate", utf16LEMark + encoded(text, "UTF-16LE") + QByteArray("\x3D\xD8", 2), unchanged);
    row("UTF-16BE lone low surrogate", utf16BEMark + QByteArray("\xDC\x00", 2) + encoded(text, "UTF-16BE"), unchanged);
    row("UTF-16BE reversed pair", utf16BEMark + QByteArray("\xDE\x00\xD8\x3D", 4) + encoded(text, "UTF-16BE"), unchanged);
    row("UTF-32LE wrong length", utf32LEMark + encoded(text, "UTF-32LE") + "xy", unchanged);
    row("UTF-32BE above U+10FFFF", utf32BEMark + QByteArray("\x00\x11\x00\x00", 4) + encoded(text, "UTF-32BE"), unchanged);
    row("UTF-32LE surrogate", utf32LEMark + QByteArray("\x00\xD8\x00\x00", 4) + encoded(text, "UTF-32LE"), unchanged);

    // Launch folders that entries must not receive
    row("empty launch folder", cp1251(entry), unchanged, QString());
    row("dot launch folder", cp1251(entry), unchanged, QStringLiteral(R"(.\)"));
    row("forward slashes on Windows", cp1251(entry), unchanged, QStringLiteral("C:/Tools/"));
    row("relative on Posix", cp1251(entry), unchanged, QStringLiteral("opt/suite/"), PathRules::Posix);
    row("absolute on Posix", cp1251(entry), "BIBOPATH1=/opt/Suite/BIBO\\\r\n", QStringLiteral("/opt/Suite/"),
        PathRules::Posix);
    row("share", cp1251(entry), "BIBOPATH1=\\\\srv\\share\\BIBO\\\r\n", QStringLiteral(R"(\\srv\share\)"));
}

void BiboRewriteTest::files()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, folder);
    QFETCH(PathRules, rules);
    QFETCH(QByteArray, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    writeFile(dir.filePath(QStringLiteral("VELNOR.INI")), content);
    const Outcome outcome = rewriteIn(dir.path(), QStringLiteral("VELNOR.INI"), folder, rules);
    QCOMPARE(outcome.bytes, expected.isNull() ? content : expected);
    QCOMPARE(outcome.replaced, !expected.isNull());
    QCOMPARE(outcome.others, QStringList()); // no temporary file left behind

    if (!expected.isNull()) {
        // Rewritten once, the file is up to date for the same folder.
        const Outcome again = rewriteIn(dir.path(), QStringLiteral("VELNOR.INI"), folder, rules);
        QCOMPARE(again.bytes, expected);
        QVERIFY(!again.replaced);
    }
}

void BiboRewriteTest::keepsPermissions_data()
{
    QTest::addColumn<uint>("mode");
    QTest::newRow("0600") << 0600u;
    QTest::newRow("0640") << 0640u;
    QTest::newRow("0664") << 0664u;
    QTest::newRow("0755") << 0755u;
}

void BiboRewriteTest::keepsPermissions()
{
    QFETCH(uint, mode);
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("VELNOR.INI")), "BIBOPATH1=C:\\X\\BIBO\\\n", mode);
    const Outcome outcome = rewriteIn(dir.path(), QStringLiteral("VELNOR.INI"), suite, PathRules::Windows);
    QVERIFY(outcome.replaced);
    QCOMPARE(uint(outcome.mode), mode);
}

void BiboRewriteTest::leavesReadOnlyFile()
{
    // Even root, whom the system lets write anything, leaves it alone.
    QTemporaryDir dir;
    const QByteArray content("BIBOPATH1=C:\\X\\BIBO\\\n");
    writeFile(dir.filePath(QStringLiteral("VELNOR.INI")), content, 0444);
    const Outcome outcome = rewriteIn(dir.path(), QStringLiteral("VELNOR.INI"), suite, PathRules::Windows);
    QCOMPARE(outcome.bytes, content);
    QVERIFY(!outcome.replaced);
    QCOMPARE(outcome.others, QStringList());
    QCOMPARE(uint(outcome.mode), 0444u);
}

void BiboRewriteTest::keepsSymbolicLink()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("real")));
    const QString target = dir.filePath(QStringLiteral("real/settings.ini"));
    writeFile(target, "BIBOPATH1=C:\\X\\BIBO\\\n", 0640);
    QVERIFY(QFile::link(QStringLiteral("real/settings.ini"), dir.filePath(QStringLiteral("VELNOR.INI"))));

    rewriteIn(dir.path(), QStringLiteral("VELNOR.INI"), suite, PathRules::Windows);
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("VELNOR.INI"))).isSymLink());
    QFile result(target);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(), QByteArray("BIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n"));
    QCOMPARE(QDir(dir.filePath(QStringLiteral("real"))).entryList(QDir::Files | QDir::Hidden), { QStringLiteral("settings.ini") });
}

void BiboRewriteTest::leavesFileInClosedFolder()
{
    // The file itself may be written, but no new file can be made beside it:
    // it must not be written in place, where a crash would leave it half done.
    QTemporaryDir dir;
    const QByteArray content("BIBOPATH1=C:\\X\\BIBO\\\n");
    writeFile(dir.filePath(QStringLiteral("VELNOR.INI")), content, 0666);
    QCOMPARE(chmod(QFile::encodeName(dir.path()).constData(), 0555), 0);

    // Root may create files anywhere, so the rewrite runs as nobody then.
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        const Outcome outcome = rewriteIn(dir.path(), QStringLiteral("VELNOR.INI"), suite, PathRules::Windows);
        _exit(outcome.bytes == content && !outcome.replaced && outcome.others.isEmpty() ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    chmod(QFile::encodeName(dir.path()).constData(), 0755);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QFile result(dir.filePath(QStringLiteral("VELNOR.INI")));
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(), content);
}

QTEST_APPLESS_MAIN(BiboRewriteTest)
#include "tst_biborewrite.moc"
