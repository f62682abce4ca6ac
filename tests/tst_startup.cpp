// Runs the built launcher as a user's start would: with a chosen argv[0], in a
// chosen working directory, against a stand-in main program that records how
// it was started.
#include "launchrunner.h"
#include "testsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <unistd.h>

namespace {

const QByteArray notStarted("velnor.exe not started.\n");
const QByteArray oldEntry("BIBOPATH1=C:\\X\\BIBO\\\n");

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void rewritesAndStarts();
    void entriesFollowTheFolder();
    void settingsFileForms_data();
    void settingsFileForms();
    void findsMainProgram_data();
    void findsMainProgram();
    void messagesDespiteLoggingRules_data();
    void messagesDespiteLoggingRules();
    void ownPathForms_data();
    void ownPathForms();
    void undecodableFolderName();

private:
    Result run(Launch launch);
    bool startedWithin(int timeoutMs);
    QString settings() const { return m_folder + QStringLiteral("/VELNOR.INI"); }
    QByteArray ownPath() const { return QFile::encodeName(m_folder + QStringLiteral("/start")); }

    QTemporaryDir m_root;
    QString m_folder;     // the program folder: launcher, main program, settings file
    QString m_elsewhere;  // a working directory apart from it
    QString m_record;
};

void StartupTest::init()
{
    QVERIFY(m_root.isValid());
    const QString base = m_root.filePath(QString::number(QDateTime::currentMSecsSinceEpoch()) + u'-'
                                         + QString::number(QRandomGenerator::global()->generate()));
    m_folder = base + QStringLiteral("/Suite");
    m_elsewhere = base + QStringLiteral("/elsewhere");
    m_record = base + QStringLiteral("/record");
    QVERIFY(QDir().mkpath(m_elsewhere));
    QVERIFY(installPrograms(m_folder));
}

Result StartupTest::run(Launch launch)
{
    QFile::remove(m_record);
    QFile::remove(m_record + QStringLiteral(".go"));
    if (launch.program.isEmpty())
        launch.program = ownPath();
    launch.environment << "VELNOR_STANDIN_RECORD=" + QFile::encodeName(m_record)
                       << "VELNOR_STANDIN_GO=" + QFile::encodeName(m_record + QStringLiteral(".go"));
    launch.errorPath = QFile::encodeName(m_record + QStringLiteral(".stderr"));
    return runLauncher(launch);
}

// The stand-in waits for a go-ahead before it writes its record, so a record
// shows that it ran on after the launcher had ended.
bool StartupTest::startedWithin(int timeoutMs)
{
    writeFile(m_record + QStringLiteral(".go"), QByteArray());
    return recordAppears(m_record, timeoutMs);
}

void StartupTest::rewritesAndStarts()
{
    writeFile(settings(), "[Paths]\r\nBIBOPATH1=C:\\Old Place\\BIBO\\\r\nBIBOPATH2=/old/BIBO/Parts/\r\n", 0640);
    Launch launch;
    launch.argv0 = ownPath();
    launch.arguments = { "--extra", "two words", "E:\\x" };
    launch.workingDirectory = QFile::encodeName(m_elsewhere);
    const Result result = run(launch);
    QCOMPARE(result.status, 0);
    QCOMPARE(result.standardError, QByteArray());

    const QByteArray folder = QFile::encodeName(m_folder) + '/';
    QCOMPARE(readAll(settings()), "[Paths]\r\nBIBOPATH1=" + folder + "BIBO\\\r\nBIBOPATH2=" + folder + "BIBO/Parts/\r\n");
    QCOMPARE(stateOf(settings()).mode, mode_t(0640));
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden).size(), 3);
    // Started with no arguments, in the launcher's working directory, with no
    // signal ignored that the launcher found at its default.
    QVERIFY(startedWithin(10000));
    QCOMPARE(readAll(m_record), "arguments=0\ncwd=" + launch.workingDirectory + "\nignored=\n");

    // The next start from the same folder finds nothing to do and writes
    // nothing; a signal ignored by whoever started the launcher stays ignored.
    const FileState before = stateOf(settings());
    launch.ignoreFileSizeSignal = true;
    QCOMPARE(run(launch).status, 0);
    QVERIFY(startedWithin(10000));
    QCOMPARE(stateOf(settings()), before);
    QCOMPARE(readAll(m_record), "arguments=0\ncwd=" + launch.workingDirectory + "\nignored=XFSZ \n");
}

void StartupTest::entriesFollowTheFolder()
{
    // Moved between starts through folders whose names hold ( ) . - and Ё:
    // every start points the entries at the folder it is in, and the next
    // start after a move finds them again.
    writeFile(settings(), "BIBOPATH1=C:\\Old\\BIBO\\\r\nBIBOPATH2=C:\\Program Files (x86)\\Velnor\\BIBO\\Parts\\\r\n");
    const QString base = QFileInfo(m_folder).path();
    QString folder = m_folder;
    for (const QString &place : { QStringLiteral("OneDrive - Org/j.smith/Velnor"), QStringLiteral(u"Moved (x86)/Ёлка 2.0"),
                                  QStringLiteral("Stick/Velnor") }) {
        const QString moved = base + u'/' + place;
        QVERIFY(QDir().mkpath(QFileInfo(moved).path()));
        QVERIFY(QDir().rename(folder, moved));
        folder = moved;
        Launch launch;
        launch.program = launch.argv0 = QFile::encodeName(folder + QStringLiteral("/start"));
        launch.workingDirectory = QFile::encodeName(m_elsewhere);
        QCOMPARE(run(launch).status, 0);
        QVERIFY(startedWithin(10000));
        const QByteArray entries = QTextCodec::codecForName("Windows-1251")->fromUnicode(folder) + "/BIBO\\";
        QCOMPARE(readAll(folder + QStringLiteral("/VELNOR.INI")),
                 "BIBOPATH1=" + entries + "\r\nBIBOPATH2=" + entries + "Parts\\\r\n");
    }
}

void StartupTest::settingsFileForms_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("opened");

    QTest::newRow("missing") << QStringLiteral("missing") << false;
    QTest::newRow("directory") << QStringLiteral("directory") << false;
    QTest::newRow("FIFO") << QStringLiteral("fifo") << false;
    QTest::newRow("link to /dev/zero") << QStringLiteral("/dev/zero") << false;
    QTest::newRow("link to /dev/urandom") << QStringLiteral("/dev/urandom") << false;
    QTest::newRow("dangling link") << QStringLiteral("nowhere") << false;
    QTest::newRow("unreadable") << QStringLiteral("unreadable") << false;
    QTest::newRow("read-only") << QStringLiteral("read-only") << true;
    QTest::newRow("link to a file") << QStringLiteral("real.ini") << true;
    // Claims a page but gives a few bytes: reading must still come to an end.
    QTest::newRow("link to a short sysfs file") << QStringLiteral("/sys/class/net/lo/address") << true;
}

void StartupTest::settingsFileForms()
{
    QFETCH(QString, form);
    QFETCH(bool, opened);

    if (form == QLatin1String("directory")) {
        QVERIFY(QDir(m_folder).mkdir(QStringLiteral("VELNOR.INI")));
    } else if (form == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(QFile::encodeName(settings()).constData(), 0644), 0);
    } else if (form == QLatin1String("unreadable")) {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        writeFile(settings(), oldEntry, 0200);
    } else if (form == QLatin1String("read-only")) {
        writeFile(settings(), oldEntry, 0444);
    } else if (form != QLatin1String("missing")) {
        if (form.startsWith(u'/') && !QFile::exists(form))
            QSKIP("not on this machine");
        writeFile(m_folder + QStringLiteral("/real.ini"), oldEntry, 0444);
        QVERIFY(QFile::link(form, settings()));
    }
    const QStringList filesBefore = QDir(m_folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden);
    const FileState before = stateOf(settings());

    Launch launch;
    launch.argv0 = ownPath();
    launch.workingDirectory = QFile::encodeName(m_elsewhere);
    const Result result = run(launch);
    QCOMPARE(result.status, opened ? 0 : 1);
    QCOMPARE(result.standardError, opened ? QByteArray() : notOpen);
    QCOMPARE(startedWithin(opened ? 10000 : 300), opened);
    QCOMPARE(QDir(m_folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden), filesBefore);
    QCOMPARE(stateOf(settings()), before);
}

void StartupTest::findsMainProgram_data()
{
    QTest::addColumn<QString>("placement"); // where velnor.exe lies, relative to the working directory
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("started");

    QTest::newRow("beside the launcher") << QString() << QByteArray("/usr/bin") << true;
    QTest::newRow("on PATH") << QStringLiteral("bin") << QByteArray("/nonexistent:@bin:/usr/bin") << true;
    QTest::newRow("only in the working directory") << QStringLiteral(".") << QByteArray(":.:/usr/bin") << false;
    QTest::newRow("only on a relative PATH entry") << QStringLiteral("bin") << QByteArray("bin:/usr/bin") << false;
    QTest::newRow("nowhere") << QStringLiteral("bin") << QByteArray("/usr/bin") << false;
    QTest::newRow("not executable") << QStringLiteral("-x") << QByteArray("/usr/bin") << false;
    QTest::newRow("a directory") << QStringLiteral("dir") << QByteArray("/usr/bin") << false;
}

void StartupTest::findsMainProgram()
{
    QFETCH(QString, placement);
    QFETCH(QByteArray, path);
    QFETCH(bool, started);

    const QString beside = m_folder + QStringLiteral("/velnor.exe");
    if (placement == QLatin1String("-x")) {
        QCOMPARE(chmod(QFile::encodeName(beside).constData(), 0644), 0);
    } else if (placement == QLatin1String("dir")) {
        QVERIFY(QFile::remove(beside) && QDir().mkdir(beside));
    } else if (!placement.isEmpty()) {
        QVERIFY(QDir(m_elsewhere).mkpath(placement));
        QVERIFY(QFile::rename(beside, m_elsewhere + u'/' + placement + QStringLiteral("/velnor.exe")));
    }
    writeFile(settings(), "x=1\n");
    Launch launch;
    launch.argv0 = ownPath();
    launch.workingDirectory = QFile::encodeName(m_elsewhere);
    launch.environment = { "PATH=" + path.replace('@', QFile::encodeName(m_elsewhere) + '/') };
    const Result result = run(launch);
    QCOMPARE(result.status, started ? 0 : 1);
    QCOMPARE(result.standardError, started ? QByteArray() : notStarted);
    QCOMPARE(startedWithin(started ? 10000 : 300), started);
}

void StartupTest::messagesDespiteLoggingRules_data()
{
    QTest::addColumn<QByteArray>("rulesFrom");
    QTest::addColumn<QByteArray>("failure");

    for (const char *rulesFrom : { "QT_LOGGING_RULES", "QT_LOGGING_CONF", "XDG_CONFIG_HOME" }) {
        for (const char *failure : { "no settings file", "no main program" })
            QTest::addRow("%s, %s", rulesFrom, failure) << QByteArray(rulesFrom) << QByteArray(failure);
    }
}

// Rules that switch debug output off, from each place Qt reads them, leave
// the launcher's messages alone.
void StartupTest::messagesDespiteLoggingRules()
{
    QFETCH(QByteArray, rulesFrom);
    QFETCH(QByteArray, failure);

    const QByteArray rules = "*=false\n*.debug=false\ndefault.debug=false\n";
    const QByteArray elsewhere = QFile::encodeName(m_elsewhere);
    Launch launch;
    launch.argv0 = ownPath();
    launch.workingDirectory = elsewhere;
    if (rulesFrom == "QT_LOGGING_RULES") {
        launch.environment << "QT_LOGGING_RULES=" + QByteArray(rules).replace('\n', ';');
    } else if (rulesFrom == "QT_LOGGING_CONF") {
        writeFile(m_elsewhere + QStringLiteral("/rules.ini"), "[Rules]\n" + rules);
        launch.environment << "QT_LOGGING_CONF=" + elsewhere + "/rules.ini";
    } else {
        QVERIFY(QDir(m_elsewhere).mkpath(QStringLiteral("QtProject")));
        writeFile(m_elsewhere + QStringLiteral("/QtProject/qtlogging.ini"), "[Rules]\n" + rules);
        launch.environment << "XDG_CONFIG_HOME=" + elsewhere;
    }
    if (failure == "no main program")
        writeFile(settings(), oldEntry);
    QVERIFY(QFile::remove(m_folder + QStringLiteral("/velnor.exe")));

    const Result result = run(launch);
    QCOMPARE(result.status, 1);
    QCOMPARE(result.standardError, failure == "no main program" ? notStarted : notOpen);
}

void StartupTest::ownPathForms_data()
{
    QTest::addColumn<QByteArray>("argv0");
    QTest::addColumn<QByteArray>("fileName"); // of the settings file, in the working directory
    QTest::addColumn<QByteArray>("expected"); // null: left as it was

    // On Linux a Windows folder in argv[0] is part of a file name relative to
    // the working directory. Relative own paths open the file but change nothing.
    QTest::newRow("Windows folder") << QByteArray("E:\\Tools\\Suite\\start.exe") << QByteArray("E:\\Tools\\Suite\\VELNOR.INI")
                                    << QByteArray("BIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\n");
    QTest::newRow("bare name") << QByteArray("start") << QByteArray("VELNOR.INI") << QByteArray();
    QTest::newRow("dot backslash") << QByteArray(".\\start.exe") << QByteArray(".\\VELNOR.INI") << QByteArray();
    QTest::newRow("dot slash") << QByteArray("./start") << QByteArray("VELNOR.INI") << QByteArray();
    QTest::newRow("no argv[0] at all") << QByteArray() << QByteArray("VELNOR.INI") << QByteArray();
}

void StartupTest::ownPathForms()
{
    QFETCH(QByteArray, argv0);
    QFETCH(QByteArray, fileName);
    QFETCH(QByteArray, expected);

    const QString path = m_elsewhere + u'/' + QFile::decodeName(fileName);
    writeFile(path, oldEntry);
    Launch launch;
    launch.argv0 = argv0;
    launch.workingDirectory = QFile::encodeName(m_elsewhere);
    const Result result = run(launch);
    QCOMPARE(result.status, 0);
    QCOMPARE(result.standardError, QByteArray());
    QCOMPARE(readAll(path), expected.isNull() ? oldEntry : expected);
    QVERIFY(startedWithin(10000)); // found beside the executable, whatever argv[0] says
}

void StartupTest::undecodableFolderName()
{
    // Linux allows a folder name that isn't UTF-8. Named by a relative path,
    // the settings file opens and the main program is found all the same.
    // (Named in full, the path can't be decoded to open the file.)
    const QByteArray folder = QFile::encodeName(m_elsewhere) + "/caf\xE9";
    QCOMPARE(mkdir(folder.constData(), 0755), 0);
    const auto cleanUp = qScopeGuard([&folder] { // QTemporaryDir can't name it
        for (const char *name : { "/start", "/velnor.exe", "/VELNOR.INI" })
            unlink((folder + name).constData());
        rmdir(folder.constData());
    });
    QCOMPARE(rename(QFile::encodeName(m_folder + QStringLiteral("/velnor.exe")).constData(), (folder + "/velnor.exe").constData()), 0);
    QCOMPARE(link(ownPath().constData(), (folder + "/start").constData()), 0);
    FILE *settingsFile = fopen((folder + "/VELNOR.INI").constData(), "w");
    QVERIFY(settingsFile && fwrite(oldEntry.constData(), 1, size_t(oldEntry.size()), settingsFile) == size_t(oldEntry.size()));
    fclose(settingsFile);

    Launch launch;
    launch.program = folder + "/start";
    launch.argv0 = "./start";
    launch.workingDirectory = folder;
    const Result result = run(launch);
    QCOMPARE(result.status, 0);
    QCOMPARE(result.standardError, QByteArray());
    QVERIFY(startedWithin(10000));
    QCOMPARE(readAll(m_record), "arguments=0\ncwd=" + folder + "\nignored=\n");

    launch.argv0 = launch.program;
    QCOMPARE(run(launch).standardError, notOpen);
}

QTEST_APPLESS_MAIN(StartupTest)
#include "tst_startup.moc"
