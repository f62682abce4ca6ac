#include "launch.h"

#include <QRandomGenerator>
#include <QRegExp>
#include <QtTest>

Q_DECLARE_METATYPE(PathRules)

// The launch folder as the launcher's path pattern defines it, found the slow
// way with Qt's regular expressions, to check the linear version against.
static QString folderByPattern(const QString &path, PathRules rules)
{
    QRegExp pattern(rules == PathRules::Windows ? QStringLiteral("(.*\\\\)([^\\\\]+)$")
                                                : QStringLiteral("(.*[\\\\/])([^\\\\/]+)$"));
    QString folder;
    for (int offset = 0; pattern.indexIn(path, offset) >= 0;
         offset = pattern.pos() + pattern.matchedLength()) {
        folder = pattern.cap(1);
        if (pattern.matchedLength() == 0)
            break;
    }
    return folder;
}

class LaunchFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void examples_data();
    void examples();
    void agreesWithPattern_data();
    void agreesWithPattern();
};

void LaunchFolderTest::examples_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<PathRules>("rules");
    QTest::addColumn<QString>("folder");

    const auto both = [](const char *name, const QString &path, const QString &windows, const QString &posix) {
        QTest::addRow("%s, Windows", name) << path << PathRules::Windows << windows;
        QTest::addRow("%s, Posix", name) << path << PathRules::Posix << posix;
    };
    both("drive folder", QStringLiteral(R"(C:\Tools\Suite\start.exe)"), QStringLiteral(R"(C:\Tools\Suite\)"),
         QStringLiteral(R"(C:\Tools\Suite\)"));
    both("drive root", QStringLiteral(R"(D:\start.exe)"), QStringLiteral(R"(D:\)"), QStringLiteral(R"(D:\)"));
    both("bare name", QStringLiteral("start.exe"), QString(), QString());
    both("dot folder", QStringLiteral(R"(.\start.exe)"), QStringLiteral(R"(.\)"), QStringLiteral(R"(.\)"));
    both("forward slashes", QStringLiteral("C:/Tools/start.exe"), QString(), QStringLiteral("C:/Tools/"));
    both("ends in backslash", QStringLiteral(R"(C:\Tools\)"), QString(), QString());
    both("ends in slash", QStringLiteral("/opt/suite/"), QString(), QString());
    both("mixed, slash last", QStringLiteral(R"(C:\a/b)"), QStringLiteral(R"(C:\)"), QStringLiteral(R"(C:\a/)"));
    both("mixed, backslash last", QStringLiteral(R"(/a\b/c\start)"), QStringLiteral(R"(/a\b/c\)"),
         QStringLiteral(R"(/a\b/c\)"));
    both("share", QStringLiteral(R"(\\server\share\start.exe)"), QStringLiteral(R"(\\server\share\)"),
         QStringLiteral(R"(\\server\share\)"));
    both("posix absolute", QStringLiteral("/opt/suite/start"), QString(), QStringLiteral("/opt/suite/"));
    both("Cyrillic", QStringLiteral(u"E:\\Программы\\Ёлка\\start.exe"), QStringLiteral(u"E:\\Программы\\Ёлка\\"),
         QStringLiteral(u"E:\\Программы\\Ёлка\\"));
    both("line feed in name", QStringLiteral("C:\\a\\st\nart"), QStringLiteral("C:\\a\\"), QStringLiteral("C:\\a\\"));
    both("empty", QString(), QString(), QString());
    both("only a separator", QStringLiteral("\\"), QString(), QString());
    both("separator then one character", QStringLiteral("\\x"), QStringLiteral("\\"), QStringLiteral("\\"));
    both("literal pattern characters", QStringLiteral(R"(C:\$1\&\%1\\1\start)"), QStringLiteral(R"(C:\$1\&\%1\\1\)"),
         QStringLiteral(R"(C:\$1\&\%1\\1\)"));
    // Close to the longest argument Linux passes; the answer must not take
    // a search from every offset to find.
    const QString longName(128 * 1024 - 2, u'x');
    both("long name, no separator", longName, QString(), QString());
    both("long name after a separator", u'\\' + longName, QStringLiteral("\\"), QStringLiteral("\\"));
}

void LaunchFolderTest::examples()
{
    QFETCH(QString, path);
    QFETCH(PathRules, rules);
    QFETCH(QString, folder);
    QCOMPARE(launchFolderOf(path, rules), folder);
}

void LaunchFolderTest::agreesWithPattern_data()
{
    QTest::addColumn<PathRules>("rules");
    QTest::newRow("Windows") << PathRules::Windows;
    QTest::newRow("Posix") << PathRules::Posix;
}

void LaunchFolderTest::agreesWithPattern()
{
    QFETCH(PathRules, rules);
    const QString alphabet = QStringLiteral(u"a\\/.:\n Я");
    QRandomGenerator random(20261207);
    for (int round = 0; round < 20000; ++round) {
        QString path;
        for (int length = random.bounded(9); length > 0; --length)
            path += alphabet.at(random.bounded(alphabet.size()));
        QCOMPARE(launchFolderOf(path, rules), folderByPattern(path, rules));
    }
}

QTEST_APPLESS_MAIN(LaunchFolderTest)
#include "tst_launchfolder.moc"
