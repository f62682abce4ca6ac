#include "launch.h"
#include "path_forms.h"

#include <QRandomGenerator>
#include <QRegExp>
#include <QtTest>

// The launch folder as the launcher's path pattern defines it, found the slow
// way with Qt's regular expressions, to check the linear version against.
static QString folderByPattern(const QString &path, PathRules rules)
{
    QRegExp pattern(rules == PathRules::Windows ? QStringLiteral("(.*\\\\)([^\\\\]+)$")
                                                : QStringLiteral("(.*[\\\\/])([^\\\\/]+)$"));
    QString folder;
    for (int offset = 0; pattern.indexIn(path, offset) >= 0 && pattern.matchedLength() > 0;
         offset = pattern.pos() + pattern.matchedLength()) {
        folder = pattern.cap(1);
    }
    return folder;
}

class LaunchFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void examples_data();
    void examples();
    void agreesWithPattern();
    void pathForms_data();
    void pathForms();
};

void LaunchFolderTest::examples_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("windows");
    QTest::addColumn<QString>("posix");

    const auto row = [](const char *name, const QString &path, const QString &windows, const QString &posix) {
        QTest::newRow(name) << path << windows << posix;
    };
    const QString none;
    row("drive folder", QStringLiteral(R"(C:\Tools\Suite\start.exe)"), QStringLiteral(R"(C:\Tools\Suite\)"), QStringLiteral(R"(C:\Tools\Suite\)"));
    row("drive root", QStringLiteral(R"(D:\start.exe)"), QStringLiteral(R"(D:\)"), QStringLiteral(R"(D:\)"));
    row("bare name", QStringLiteral("start.exe"), none, none);
    row("dot folder", QStringLiteral(R"(.\start.exe)"), QStringLiteral(R"(.\)"), QStringLiteral(R"(.\)"));
    row("forward slashes", QStringLiteral("C:/Tools/start.exe"), none, QStringLiteral("C:/Tools/"));
    row("ends in a separator", QStringLiteral(R"(C:\Tools\)"), none, none);
    row("mixed, slash last", QStringLiteral(R"(C:\a/b)"), QStringLiteral(R"(C:\)"), QStringLiteral(R"(C:\a/)"));
    row("share", QStringLiteral(R"(\\server\share\start.exe)"), QStringLiteral(R"(\\server\share\)"), QStringLiteral(R"(\\server\share\)"));
    row("posix absolute", QStringLiteral("/opt/suite/start"), none, QStringLiteral("/opt/suite/"));
    row("Cyrillic", QStringLiteral(u"E:\\Программы\\Ёлка\\start.exe"), QStringLiteral(u"E:\\Программы\\Ёлка\\"), QStringLiteral(u"E:\\Программы\\Ёлка\\"));
    row("line feed in the name", QStringLiteral("C:\\a\\st\nart"), QStringLiteral("C:\\a\\"), QStringLiteral("C:\\a\\"));
    row("empty", QString(), none, none);
    row("pattern characters", QStringLiteral(R"(C:\$1\&\%1\\1\start)"), QStringLiteral(R"(C:\$1\&\%1\\1\)"), QStringLiteral(R"(C:\$1\&\%1\\1\)"));
    // Close to the longest argument Linux passes: a search from every offset
    // would take minutes here.
    const QString longName(128 * 1024 - 2, u'x');
    row("long, no separator", longName, none, none);
    row("long, after a separator", u'\\' + longName, QStringLiteral("\\"), QStringLiteral("\\"));
}

void LaunchFolderTest::examples()
{
    QFETCH(QString, path);
    QFETCH(QString, windows);
    QFETCH(QString, posix);
    QCOMPARE(launchFolderOf(path, PathRules::Windows), windows);
    QCOMPARE(launchFolderOf(path, PathRules::Posix), posix);
    if (path.size() < 100)
        QCOMPARE(folderByPattern(path, PathRules::Windows), windows);
}

void LaunchFolderTest::agreesWithPattern()
{
    const QString alphabet = QStringLiteral(u"a\\/.:\n Я");
    QRandomGenerator random(20261207);
    for (int round = 0; round < 20000; ++round) {
        QString path;
        for (int length = random.bounded(9); length > 0; --length)
            path += alphabet.at(random.bounded(alphabet.size()));
        for (const PathRules rules : { PathRules::Windows, PathRules::Posix })
            QCOMPARE(launchFolderOf(path, rules), folderByPattern(path, rules));
    }
}

void LaunchFolderTest::pathForms_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("withPrefix");
    QTest::addColumn<QString>("withoutPrefix");

    const auto row = [](const char *name, const char *path, const char *with, const char *without) {
        QTest::newRow(name) << QString::fromLatin1(path) << QString::fromLatin1(with) << QString::fromLatin1(without);
    };
    row("drive", R"(C:\x\VELNOR.INI)", R"(\\?\C:\x\VELNOR.INI)", R"(C:\x\VELNOR.INI)");
    row("long drive", R"(\\?\C:\x)", R"(\\?\C:\x)", R"(C:\x)");
    row("share", R"(\\srv\share\x)", R"(\\?\UNC\srv\share\x)", R"(\\srv\share\x)");
    row("long share", R"(\\?\UNC\srv\share\x)", R"(\\?\UNC\srv\share\x)", R"(\\srv\share\x)");
    row("long share, small letters", R"(\\?\unc\srv\share\x)", R"(\\?\unc\srv\share\x)", R"(\\srv\share\x)");
    row("device", R"(\\.\C:\x)", R"(\\.\C:\x)", R"(\\.\C:\x)");
    row("long volume", R"(\\?\Volume{1}\x)", R"(\\?\Volume{1}\x)", R"(\\?\Volume{1}\x)");
}

void LaunchFolderTest::pathForms()
{
    QFETCH(QString, path);
    QFETCH(QString, withPrefix);
    QFETCH(QString, withoutPrefix);
    QCOMPARE(pathforms::withPrefix(path), withPrefix);
    QCOMPARE(pathforms::withoutPrefix(path), withoutPrefix);
    // The plain form comes back from its long form.
    QCOMPARE(pathforms::withoutPrefix(pathforms::withPrefix(withoutPrefix)), withoutPrefix);
}

QTEST_APPLESS_MAIN(LaunchFolderTest)
#include "tst_launchfolder.moc"
