// Runs the built launcher as a user's start would: with a chosen argv[0], in a
// chosen working directory, against a stand-in main program that records how
// it was started.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QByteArray notOpen("File VELNOR.INI not open.\n");
const QByteArray notStarted("velnor.exe not started.\n");

struct Launch
{
    QByteArray argv0;            // null: start with no arguments at all
    QByteArrayList arguments;
    QString workingDirectory;
    QByteArray path = "/usr/bin:/bin";
    rlim_t fileSizeLimit = RLIM_INFINITY;
};

struct Result
{
    int status = -1;
    QByteArray standardError;
    pid_t pid = 0;
};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes, mode_t mode = 0644)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    QCOMPARE(chmod(QFile::encodeName(path).constData(), mode), 0);
}

struct FileState
{
    QByteArray bytes;
    ino_t inode = 0;
    qint64 modified = 0;
    mode_t mode = 0;
    bool operator==(const FileState &other) const
    {
        return bytes == other.bytes && inode == other.inode && modified == other.modified && mode == other.mode;
    }
};

FileState stateOf(const QString &path)
{
    FileState state;
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) == 0) {
        state.inode = info.st_ino;
        state.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        state.mode = info.st_mode & 07777;
        if (S_ISREG(info.st_mode)) // a FIFO or a device would never end
            state.bytes = readAll(path);
    }
    return state;
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void rewritesAndStarts();
    void settingsFileForms_data();
    void settingsFileForms();
    void findsMainProgram_data();
    void findsMainProgram();
    void failedWriteKeepsOldContent();
    void windowsPathOnLinux();
    void cyrillicFolder();
    void noArgumentsAtAll();

private:
    Result run(const Launch &launch);
    bool waitForRecord(int timeoutMs = 10000);

    QTemporaryDir m_root;
    QString m_folder;  // the program folder: launcher, main program, settings file
    QString m_elsewhere; // a working directory apart from it
    QString m_record;
};

void StartupTest::init()
{
    QVERIFY(m_root.isValid());
    const QString case_ = QString::fromLatin1(QTest::currentTestFunction()) + u'-'
            + QString::fromLatin1(QTest::currentDataTag() ? QTest::currentDataTag() : "").replace(u' ', u'_');
    QDir root(m_root.path());
    QVERIFY(root.mkpath(case_ + QStringLiteral("/Suite")));
    QVERIFY(root.mkpath(case_ + QStringLiteral("/elsewhere")));
    m_folder = root.filePath(case_ + QStringLiteral("/Suite"));
    m_elsewhere = root.filePath(case_ + QStringLiteral("/elsewhere"));
    m_record = root.filePath(case_ + QStringLiteral("/record"));
    QVERIFY(QFile::copy(QStringLiteral(LAUNCHER_PATH), m_folder + QStringLiteral("/start")));
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_PATH), m_folder + QStringLiteral("/velnor.exe")));
}

Result StartupTest::run(const Launch &launch)
{
    const QString errorPath = m_record + QStringLiteral(".stderr");
    const QByteArray program = QFile::encodeName(m_folder + QStringLiteral("/start"));
    QByteArrayList argumentList;
    if (!launch.argv0.isNull())
        argumentList << launch.argv0 << launch.arguments;
    QVector<char *> argv;
    for (QByteArray &argument : argumentList)
        argv << argument.data();
    argv << nullptr;
    QByteArrayList environmentList = { "PATH=" + launch.path,
                                       "VELNOR_STANDIN_RECORD=" + QFile::encodeName(m_record),
                                       "VELNOR_STANDIN_GO=" + QFile::encodeName(m_record + QStringLiteral(".go")) };
    QVector<char *> environment;
    for (QByteArray &variable : environmentList)
        environment << variable.data();
    environment << nullptr;
    const QByteArray directory = QFile::encodeName(launch.workingDirectory);

    Result result;
    const int errorFd = open(QFile::encodeName(errorPath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t child = fork();
    if (child == 0) {
        const int nullFd = open("/dev/null", O_RDWR);
        dup2(nullFd, 0);
        dup2(nullFd, 1);
        dup2(errorFd, 2);
        const struct rlimit limit = { launch.fileSizeLimit, launch.fileSizeLimit };
        if (chdir(directory.constData()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(120);
        execve(program.constData(), argv.data(), environment.data());
        _exit(121);
    }
    close(errorFd);
    result.pid = child;
    // A generous bound, only to turn a hang into a failure.
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (timer.elapsed() > 30000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return result;
        }
        QThread::msleep(5);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.standardError = readAll(errorPath);
    return result;
}

// The stand-in waits for a go-ahead before it writes its record, so a record
// shows that it ran on after the launcher had ended.
bool StartupTest::waitForRecord(int timeoutMs)
{
    writeFile(m_record + QStringLiteral(".go"), QByteArray());
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(m_record)) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(5);
    }
    return true;
}

void StartupTest::rewritesAndStarts()
{
    const QString settings = m_folder + QStringLiteral("/VELNOR.INI");
    writeFile(settings, "[Paths]\r\nBIBOPATH1=C:\\Old Place\\BIBO\\\r\nBIBOPATH2=/old/BIBO/Parts/\r\n", 0640);
    Launch launch;
    launch.argv0 = QFile::encodeName(m_folder + QStringLiteral("/start"));
    launch.arguments = { "--extra", "two words", "E:\\x" };
    launch.workingDirectory = m_elsewhere;
    const Result result = run(launch);
    QCOMPARE(result.status, 0);
    QCOMPARE(result.standardError, QByteArray());

    const QByteArray folder = QFile::encodeName(m_folder) + '/';
    const QByteArray expected = "[Paths]\r\nBIBOPATH1=" + folder + "BIBO\\\r\nBIBOPATH2=" + folder + "BIBO/Parts/\r\n";
    QCOMPARE(readAll(settings), expected);
    QCOMPARE(stateOf(settings).mode, mode_t(0640));
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden).size(), 3);

    // Started detached, with no arguments, in the launcher's working directory.
    QVERIFY(waitForRecord());
    QCOMPARE(readAll(m_record), "arguments=0\ncwd=" + QFile::encodeName(m_elsewhere) + '\n');

    // The next start from the same folder finds nothing to do and writes nothing.
    const FileState before = stateOf(settings);
    QFile::remove(m_record);
    QFile::remove(m_record + QStringLiteral(".go"));
    QCOMPARE(run(launch).status, 0);
    QVERIFY(waitForRecord());
    QVERIFY(stateOf(settings) == before);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

void StartupTest::settingsFileForms_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("missing") << QStringLiteral("missing") << 1 << notOpen;
    QTest::newRow("directory") << QStringLiteral("directory") << 1 << notOpen;
    QTest::newRow("FIFO") << QStringLiteral("fifo") << 1 << notOpen;
    QTest::newRow("link to /dev/zero") << QStringLiteral("/dev/zero") << 1 << notOpen;
    QTest::newRow("link to /dev/urandom") << QStringLiteral("/dev/urandom") << 1 << notOpen;
    QTest::newRow("dangling link") << QStringLiteral("dangling") << 1 << notOpen;
    QTest::newRow("unreadable") << QStringLiteral("unreadable") << 1 << notOpen;
    QTest::newRow("read-only") << QStringLiteral("read-only") << 0 << QByteArray();
    QTest::newRow("link to a file") << QStringLiteral("link") << 0 << QByteArray();
}

void StartupTest::settingsFileForms()
{
    QFETCH(QString, form);
    QFETCH(int, status);
    QFETCH(QByteArray, message);

    const QString settings = m_folder + QStringLiteral("/VELNOR.INI");
    const QByteArray content = "BIBOPATH1=C:\\X\\BIBO\\\n";
    const QByteArray encodedSettings = QFile::encodeName(settings);
    if (form == QLatin1String("directory")) {
        QVERIFY(QDir(m_folder).mkdir(QStringLiteral("VELNOR.INI")));
    } else if (form == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(encodedSettings.constData(), 0644), 0);
    } else if (form.startsWith(u'/') || form == QLatin1String("dangling")) {
        QVERIFY(QFile::link(form.startsWith(u'/') ? form : QStringLiteral("nowhere"), settings));
    } else if (form == QLatin1String("unreadable")) {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        writeFile(settings, content, 0200);
    } else if (form == QLatin1String("read-only")) {
        writeFile(settings, content, 0444);
    } else if (form == QLatin1String("link")) {
        writeFile(m_folder + QStringLiteral("/real.ini"), content, 0444);
        QVERIFY(QFile::link(QStringLiteral("real.ini"), settings));
    }
    const QStringList filesBefore = QDir(m_folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden);
    const FileState before = stateOf(settings);

    Launch launch;
    launch.argv0 = QFile::encodeName(m_folder + QStringLiteral("/start"));
    launch.workingDirectory = m_elsewhere;
    const Result result = run(launch);
    QCOMPARE(result.status, status);
    QCOMPARE(result.standardError, message);
    QCOMPARE(waitForRecord(status == 0 ? 10000 : 300), status == 0);
    QCOMPARE(QDir(m_folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden), filesBefore);
    QVERIFY(stateOf(settings) == before);
}

void StartupTest::findsMainProgram_data()
{
    QTest::addColumn<QString>("placement");
    QTest::addColumn<bool>("started");

    QTest::newRow("beside the launcher") << QStringLiteral("beside") << true;
    QTest::newRow("on PATH") << QStringLiteral("path") << true;
    QTest::newRow("only in the working directory") << QStringLiteral("cwd") << false;
    QTest::newRow("only on a relative PATH entry") << QStringLiteral("relative path") << false;
    QTest::newRow("nowhere") << QStringLiteral("nowhere") << false;
    QTest::newRow("not executable") << QStringLiteral("not executable") << false;
    QTest::newRow("a directory") << QStringLiteral("directory") << false;
}

void StartupTest::findsMainProgram()
{
    QFETCH(QString, placement);
    QFETCH(bool, started);

    const QString beside = m_folder + QStringLiteral("/velnor.exe");
    const QString binFolder = m_elsewhere + QStringLiteral("/bin");
    QVERIFY(QDir().mkpath(binFolder));
    Launch launch;
    launch.argv0 = QFile::encodeName(m_folder + QStringLiteral("/start"));
    launch.workingDirectory = m_elsewhere;
    if (placement != QLatin1String("beside"))
        QVERIFY(QFile::rename(beside, binFolder + QStringLiteral("/velnor.exe")));
    if (placement == QLatin1String("path")) {
        launch.path = "/nonexistent:" + QFile::encodeName(binFolder) + ":/usr/bin";
    } else if (placement == QLatin1String("cwd")) {
        QVERIFY(QFile::rename(binFolder + QStringLiteral("/velnor.exe"), m_elsewhere + QStringLiteral("/velnor.exe")));
        launch.path = ":.:/usr/bin";
    } else if (placement == QLatin1String("relative path")) {
        launch.path = "bin:/usr/bin";
    } else if (placement == QLatin1String("not executable")) {
        QVERIFY(QFile::rename(binFolder + QStringLiteral("/velnor.exe"), beside));
        QCOMPARE(chmod(QFile::encodeName(beside).constData(), 0644), 0);
    } else if (placement == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(beside));
    }
    writeFile(m_folder + QStringLiteral("/VELNOR.INI"), "x=1\n");

    const Result result = run(launch);
    QCOMPARE(result.status, started ? 0 : 1);
    QCOMPARE(result.standardError, started ? QByteArray() : notStarted);
    QCOMPARE(waitForRecord(started ? 10000 : 300), started);
}

void StartupTest::failedWriteKeepsOldContent()
{
    // A file-size limit below the new content's size: the write fails part
    // way, as on a full disk.
    const QString settings = m_folder + QStringLiteral("/VELNOR.INI");
    QByteArray content = "BIBOPATH1=C:\\X\\BIBO\\\n";
    for (int i = 0; i < 20000; ++i)
        content += "key" + QByteArray::number(i) + "=some value\n";
    writeFile(settings, content);
    const FileState before = stateOf(settings);

    Launch launch;
    launch.argv0 = QFile::encodeName(m_folder + QStringLiteral("/start"));
    launch.workingDirectory = m_elsewhere;
    launch.fileSizeLimit = 64 * 1024;
    const Result result = run(launch);
    QCOMPARE(result.status, 0);
    QCOMPARE(result.standardError, QByteArray());
    QVERIFY(stateOf(settings) == before);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden).size(), 3);
    QVERIFY(waitForRecord());
}

void StartupTest::windowsPathOnLinux()
{
    // argv[0] names a Windows folder; on Linux that folder is a file name
    // with backslashes, relative to the working directory. The main program
    // is still found beside the executable, whatever argv[0] says.
    const QString settings = m_elsewhere + QStringLiteral("/E:\\Tools\\Suite\\VELNOR.INI");
    writeFile(settings, "BIBOPATH1=C:\\Old Place\\BIBO\\\nBIBOPATH2=C:\\Program Files (x86)\\BIBO\\\n");
    Launch launch;
    launch.argv0 = "E:\\Tools\\Suite\\start.exe";
    launch.workingDirectory = m_elsewhere;
    QCOMPARE(run(launch).status, 0);
    QCOMPARE(readAll(settings),
             QByteArray("BIBOPATH1=E:\\Tools\\Suite\\BIBO\\\r\nBIBOPATH2=C:\\Program Files (x86)\\BIBO\\\r\n"));
    QVERIFY(waitForRecord());

    // A relative own path: the settings file beside it is read, nothing in it changes.
    const QString relativeSettings = m_elsewhere + QStringLiteral("/VELNOR.INI");
    const QByteArray content = "BIBOPATH1=C:\\X\\BIBO\\\n";
    writeFile(relativeSettings, content);
    for (const QByteArray &argv0 : { QByteArray("start"), QByteArray(".\\start.exe"), QByteArray("./start") }) {
        if (argv0 == ".\\start.exe")
            writeFile(m_elsewhere + QStringLiteral("/.\\VELNOR.INI"), content);
        launch.argv0 = argv0;
        const Result result = run(launch);
        QCOMPARE(result.status, 0);
        QCOMPARE(result.standardError, QByteArray());
        QCOMPARE(readAll(relativeSettings), content);
        QCOMPARE(readAll(m_elsewhere + QStringLiteral("/.\\VELNOR.INI")), argv0 == "start" ? QByteArray() : content);
    }
}

void StartupTest::cyrillicFolder()
{
    // A UTF-8 folder name reaches the entries as Windows-1251 text.
    const QString folder = m_elsewhere + QStringLiteral(u"/Программы Ёлка");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(m_folder + QStringLiteral("/start"), folder + QStringLiteral("/start")));
    QVERIFY(QFile::copy(m_folder + QStringLiteral("/velnor.exe"), folder + QStringLiteral("/velnor.exe")));
    writeFile(folder + QStringLiteral("/VELNOR.INI"), "BIBOPATH1=C:\\X\\BIBO\\\n");
    m_folder = folder;
    Launch launch;
    launch.argv0 = QFile::encodeName(folder + QStringLiteral("/start"));
    launch.workingDirectory = m_elsewhere;
    QCOMPARE(run(launch).status, 0);
    const QString expected = QStringLiteral("BIBOPATH1=") + folder + QStringLiteral("/BIBO\\\r\n");
    QCOMPARE(readAll(folder + QStringLiteral("/VELNOR.INI")),
             QTextCodec::codecForName("Windows-1251")->fromUnicode(expected));
    QVERIFY(waitForRecord());
}

void StartupTest::noArgumentsAtAll()
{
    // Without even argv[0] the launch folder is empty: VELNOR.INI is looked
    // for in the working directory and left unchanged.
    const QByteArray content = "BIBOPATH1=C:\\X\\BIBO\\\n";
    writeFile(m_elsewhere + QStringLiteral("/VELNOR.INI"), content);
    Launch launch;
    launch.argv0 = QByteArray();
    launch.workingDirectory = m_elsewhere;
    const Result result = run(launch);
    QCOMPARE(result.status, 0);
    QCOMPARE(readAll(m_elsewhere + QStringLiteral("/VELNOR.INI")), content);
    QVERIFY(waitForRecord());
}

QTEST_APPLESS_MAIN(StartupTest)
#include "tst_startup.moc"
