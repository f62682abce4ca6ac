// The settings file under stress: the launcher killed part way, a full file
// system, many starts at once and hostile input. Whatever happens, the file
// holds either its old content or the complete new content.
#include "launcher_numbers.h"
#include "launchrunner.h"
#include "temporary_files.h"
#include "testsupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/mount.h>

namespace {

const QByteArray typicalLine("key=a typical value of a settings line\r\n");
const QByteArray lastLine("end=the last line\r\n");

QByteArray entryFor(const QByteArray &folder)
{
    return "BIBOPATH1=" + folder + "BIBO\\Parts\\\r\n";
}

// A settings file of about the given size with one entry in the middle, so
// that reading has work to do before and after it.
struct Settings
{
    QByteArray head;
    QByteArray tail;

    explicit Settings(qint64 size)
    {
        const qint64 lines = qMax<qint64>(2, size / typicalLine.size());
        head = typicalLine.repeated(int(lines / 2));
        tail = typicalLine.repeated(int(lines - lines / 2)) + lastLine;
    }
    QByteArray with(const QByteArray &folder) const { return head + entryFor(folder) + tail; }
};

} // namespace

class RobustnessTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void killedAtRandomMoments();
    void failedWrite_data();
    void failedWrite();
    void simultaneousStarts();
    void leftoversOfKilledStarts_data();
    void leftoversOfKilledStarts();
    void hostileInput_data();
    void hostileInput();
    void readFaults_data();
    void readFaults();
    void permissionFaults_data();
    void permissionFaults();
    void interruptedReplacement_data();
    void interruptedReplacement();

private:
    QByteArray folderBytes() const { return QFile::encodeName(m_folder) + '/'; }
    QString settings() const { return m_folder + QStringLiteral("/VELNOR.INI"); }
    Launch launchFrom(const QString &folder) const;
    QString smallFolder() const { return m_root.filePath(QStringLiteral("small")); }

    QTemporaryDir m_root;
    QString m_folder; // the program folder: launcher, main program, settings file
    long m_baselineKiB = 0;
};

void RobustnessTest::initTestCase()
{
    QVERIFY(m_root.isValid());
    init();
    writeFile(settings(), Settings(6 * 1024).with("C:\\X\\"));
    Launch launch = launchFrom(m_folder);
    launch.peakMemoryPath = QFile::encodeName(m_folder + QStringLiteral("/peak"));
    const Result result = runLauncher(launch);
    QCOMPARE(result.status, 0);
    m_baselineKiB = result.peakKiB;
    qInfo("peak memory with a 6 KB settings file: %ld KiB", m_baselineKiB);
}

void RobustnessTest::init()
{
    m_folder = m_root.filePath(QString::number(QRandomGenerator::global()->generate()));
    QVERIFY(installPrograms(m_folder));
}

// The launcher in the program folder, told by argv[0] that it lies in folder.
Launch RobustnessTest::launchFrom(const QString &folder) const
{
    Launch launch;
    launch.program = QFile::encodeName(m_folder + QStringLiteral("/start"));
    launch.argv0 = QFile::encodeName(folder + QStringLiteral("/start"));
    launch.workingDirectory = QFile::encodeName(m_root.path());
    return launch;
}

void RobustnessTest::killedAtRandomMoments()
{
    const int runs = qEnvironmentVariableIsSet("LAUNCHER_KILL_RUNS") ? qEnvironmentVariableIntValue("LAUNCHER_KILL_RUNS") : 200;
    const Settings content(20 * 1024 * 1024);
    const QByteArray oldContent = content.with("C:\\Old Place\\"), newContent = content.with(folderBytes());
    const QStringList ownFiles = { QStringLiteral("VELNOR.INI"), QStringLiteral("start"), QStringLiteral("velnor.exe") };
    const Launch launch = launchFrom(m_folder);

    // How long an undisturbed rewrite takes sets the range of kill moments.
    writeFile(settings(), oldContent, 0640);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(runLauncher(launch).status, 0);
    const qint64 fullRunUs = timer.nsecsElapsed() / 1000;
    QVERIFY(readAll(settings()) == newContent);

    int keptOld = 0, becameNew = 0, leftTemporaryFile = 0;
    for (int run = 0; run < runs; ++run) {
        if (stateOf(settings()).bytes.size() != oldContent.size())
            writeFile(settings(), oldContent, 0640);
        const pid_t child = spawnLauncher(launch);
        QThread::usleep(QRandomGenerator::global()->bounded(quint32(fullRunUs * 12 / 10)));
        kill(child, SIGKILL);
        QVERIFY(finishLauncher(child, launch).status >= 0);

        const FileState after = stateOf(settings());
        QCOMPARE(after.mode, mode_t(0640));
        if (after.bytes == oldContent)
            ++keptOld;
        else if (after.bytes == newContent)
            ++becameNew;
        else
            QFAIL(qPrintable(QStringLiteral("run %1 left %2 bytes that are neither old nor new").arg(run).arg(after.bytes.size())));

        // A temporary file that never got its name is gone with the process.
        QStringList extra = entriesOf(m_folder);
        for (const QString &name : ownFiles)
            extra.removeOne(name);
        leftTemporaryFile += !extra.isEmpty();
    }
    qInfo("%d kills: %d kept the old content, %d had the new; %d left a temporary file", runs, keptOld, becameNew,
          leftTemporaryFile);

    // A named leftover, as a killed run leaves where the file system has no
    // unnamed temporary files, neither stops nor changes a later start.
    writeFile(settings() + QStringLiteral(".k1Ll3d"), newContent.left(newContent.size() / 2));
    QStringList leftovers = entriesOf(m_folder);
    for (const QString &name : ownFiles)
        leftovers.removeOne(name);
    QMap<QString, FileState> leftoverStates;
    for (const QString &name : leftovers)
        leftoverStates.insert(name, stateOf(m_folder + u'/' + name));
    writeFile(settings(), oldContent, 0640);
    QCOMPARE(runLauncher(launch).status, 0);
    QVERIFY(readAll(settings()) == newContent);
    for (auto it = leftoverStates.cbegin(); it != leftoverStates.cend(); ++it)
        QCOMPARE(stateOf(m_folder + u'/' + it.key()), it.value());
}

void RobustnessTest::failedWrite_data()
{
    QTest::addColumn<int>("roomPages");   // free space on a small file system; -1: none mounted
    QTest::addColumn<int>("spareInodes"); // further files it can take
    QTest::addColumn<rlim_t>("sizeLimit");
    QTest::addColumn<bool>("replaced");

    const qint64 newSize = Settings(1024 * 1024).with(QFile::encodeName(smallFolder()) + '/').size();
    const int needed = int((newSize + 4095) / 4096);
    QTest::newRow("full before the start") << 0 << 1 << RLIM_INFINITY << false;
    QTest::newRow("full half way") << needed / 2 << 1 << RLIM_INFINITY << false;
    QTest::newRow("full one page short") << needed - 1 << 1 << RLIM_INFINITY << false;
    QTest::newRow("no file left to create") << needed * 2 << 0 << RLIM_INFINITY << false;
    QTest::newRow("just enough room") << needed << 1 << RLIM_INFINITY << true;
    QTest::newRow("file-size limit") << -1 << 0 << rlim_t(64 * 1024) << false;
}

void RobustnessTest::failedWrite()
{
    QFETCH(int, roomPages);
    QFETCH(int, spareInodes);
    QFETCH(rlim_t, sizeLimit);
    QFETCH(bool, replaced);

    // The settings file lies on a file system of its own, mounted where the
    // machine allows it, that holds the old content and the room asked for.
    const QString folder = smallFolder();
    QVERIFY(QDir().mkpath(folder));
    const Settings content(1024 * 1024);
    const QByteArray oldContent = content.with("C:\\X\\"), newContent = content.with(QFile::encodeName(folder) + '/');
    const QByteArray mountPoint = QFile::encodeName(folder);
    if (roomPages >= 0) {
        const qint64 pages = (oldContent.size() + 4095) / 4096 + roomPages;
        // The root folder and the settings file take an inode each.
        const QByteArray options = "size=" + QByteArray::number(pages * 4096) + ",nr_inodes=" + QByteArray::number(2 + spareInodes);
        if (mount("tmpfs", mountPoint.constData(), "tmpfs", 0, options.constData()) != 0)
            QSKIP("no file system can be mounted here; the file-size limit stands in for a full disk");
    }
    const auto unmount = qScopeGuard([&] {
        if (roomPages >= 0)
            umount2(mountPoint.constData(), MNT_DETACH);
        QDir(folder).removeRecursively();
    });
    const QString path = folder + QStringLiteral("/VELNOR.INI");
    writeFile(path, oldContent);
    const FileState before = stateOf(path);

    Launch launch = launchFrom(folder);
    launch.fileSizeLimit = sizeLimit;
    launch.environment << "VELNOR_STANDIN_RECORD=" + QFile::encodeName(m_folder + QStringLiteral("/record"));
    const Result result = runLauncher(launch);
    QCOMPARE(result.status, 0);
    if (replaced)
        QVERIFY(readAll(path) == newContent);
    else
        QCOMPARE(stateOf(path), before);
    QCOMPARE(entriesOf(folder), { QStringLiteral("VELNOR.INI") });
    QVERIFY(recordAppears(m_folder + QStringLiteral("/record")));
}

void RobustnessTest::simultaneousStarts()
{
    // Starts from one folder all write the same bytes, and each replacement
    // is a rename: whoever reads the file sees it whole, old or new.
    const int starts = 32;
    const Settings content(2 * 1024 * 1024);
    const QByteArray oldContent = content.with("C:\\X\\"), newContent = content.with(folderBytes());
    writeFile(settings(), oldContent, 0640);
    const QString records = m_folder + QStringLiteral("/records");
    QVERIFY(QDir().mkpath(records));

    int gate[2];
    QCOMPARE(pipe2(gate, O_CLOEXEC), 0);
    Launch launch = launchFrom(m_folder);
    launch.gate = gate;
    launch.environment << "VELNOR_STANDIN_RECORD=" + QFile::encodeName(records) + '/' << "VELNOR_STANDIN_SETTINGS=1";
    QVector<pid_t> children;
    for (int i = 0; i < starts; ++i)
        children << spawnLauncher(launch);
    close(gate[0]);
    close(gate[1]); // all of them go at once
    for (const pid_t child : children)
        QCOMPARE(finishLauncher(child, launch).status, 0);

    QElapsedTimer timer;
    timer.start();
    while (QDir(records).entryList({ QStringLiteral("[0-9]*") }, QDir::Files).size() < starts && timer.elapsed() < 30000)
        QThread::msleep(10);
    const QStringList names = QDir(records).entryList({ QStringLiteral("[0-9]*") }, QDir::Files);
    QCOMPARE(names.size(), starts);
    int sawOld = 0, sawNew = 0;
    const QByteArray last = lastLine.chopped(2);
    for (const QString &name : names) {
        const QByteArray record = readAll(records + u'/' + name);
        const QByteArray seen = record.mid(record.indexOf("settings=")).trimmed();
        if (seen == "settings=" + QByteArray::number(oldContent.size()) + ' ' + last)
            ++sawOld;
        else if (seen == "settings=" + QByteArray::number(newContent.size()) + ' ' + last)
            ++sawNew;
        else
            QFAIL(qPrintable(QStringLiteral("a main program saw ") + QString::fromLatin1(seen)));
    }
    qInfo("%d simultaneous starts: each main program saw a complete file (%d the old, %d the new)", starts, sawOld, sawNew);
    QCOMPARE(sawNew, starts); // the file is closed and replaced before the main program starts
    QVERIFY(readAll(settings()) == newContent);
    QCOMPARE(stateOf(settings()).mode, mode_t(0640));
    QCOMPARE(entriesOf(m_folder), QStringList({ QStringLiteral("VELNOR.INI"), QStringLiteral("records"), QStringLiteral("start"),
                                                QStringLiteral("velnor.exe") }));
}

void RobustnessTest::leftoversOfKilledStarts_data()
{
    QTest::addColumn<QString>("name"); // a file beside VELNOR.INI
    QTest::addColumn<int>("ageMinutes");
    QTest::addColumn<QByteArray>("system"); // what the system lacks: unnamed temporary files, /proc
    QTest::addColumn<bool>("removed");

    // The launcher's own name, and near misses made of the same pieces.
    const QString settings = QStringLiteral("VELNOR.INI");
    const QString own = platform::temporaryNameFor(settings);
    const QString marker = QLatin1String(numbers::temporaryMarker), suffix = QLatin1String(numbers::temporarySuffix);
    QString letters; // digits of the right count that have a capital form
    for (int i = 0; i < numbers::randomDigits; ++i)
        letters += QChar(u'a' + i % 26);
    const int stale = int(numbers::leftoverAgeSeconds / 60) + 1;
    QTest::newRow("own, stale") << own << stale << QByteArray() << true;
    QTest::newRow("own, stale, no unnamed files") << own << stale << QByteArray("no unnamed files") << true;
    QTest::newRow("own, stale, no /proc") << own << stale << QByteArray("no /proc") << true;
    QTest::newRow("own, of a start running now") << own << 1 << QByteArray() << false;
    QTest::newRow("own, letters for digits, stale") << settings + marker + letters + suffix << stale << QByteArray() << true;
    const struct { const char *what; QString name; } misses[] = {
        { "a backup", settings + QStringLiteral(".bak") },
        { "another copy", settings + QStringLiteral(".1") },
        { "a digit short", settings + marker + letters.chopped(1) + suffix },
        { "capital digits", settings + marker + letters.toUpper() + suffix },
        { "an ending after the suffix", own + QStringLiteral(".1") },
        { "the name in small letters", settings.toLower() + own.mid(settings.size()) },
        { "another file's", QStringLiteral("OTHER.INI") + own.mid(settings.size()) },
        { "without the marker", settings + u'.' + letters + suffix },
    };
    for (const auto &[what, name] : misses)
        QTest::newRow(what) << name << 60 << QByteArray() << false;
}

void RobustnessTest::leftoversOfKilledStarts()
{
    QFETCH(QString, name);
    QFETCH(int, ageMinutes);
    QFETCH(QByteArray, system);
    QFETCH(bool, removed);
    if (system == "no /proc") {
#ifdef LAUNCHER_SANITIZED
        QSKIP("the sanitizers' runtime reads its options and checks for leaks through /proc");
#endif
        const pid_t probe = fork();
        if (probe == 0)
            _exit(hideProc() && access("/proc/self/fd", F_OK) != 0 ? 0 : 1);
        int status = -1;
        waitpid(probe, &status, 0);
        if (status != 0)
            QSKIP("no mount namespace can be made here to hide /proc");
    }

    // A start that writes removes its own stale leftovers, and nothing else.
    const Settings content(64 * 1024);
    writeFile(settings(), content.with("C:\\Old\\"));
    const QString leftover = m_folder + u'/' + name;
    writeFile(leftover, "left behind");
    const struct timespec age = { time(nullptr) - ageMinutes * 60, 0 };
    const struct timespec times[] = { age, age };
    QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(leftover).constData(), times, 0), 0);

    Launch launch = launchFrom(m_folder);
    if (system == "no unnamed files")
        launch.environment << "LD_PRELOAD=" NO_TMPFILE_PATH << "ASAN_OPTIONS=verify_asan_link_order=0";
    launch.withoutProc = system == "no /proc";
    QCOMPARE(runLauncher(launch).status, 0);
    QVERIFY(readAll(settings()) == content.with(folderBytes()));
    QStringList expected = { QStringLiteral("VELNOR.INI"), QStringLiteral("start"), QStringLiteral("velnor.exe") };
    if (!removed)
        expected << name;
    expected.sort();
    QCOMPARE(entriesOf(m_folder), expected);
}

void RobustnessTest::hostileInput_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<long>("memoryKiB"); // allowed above a small file's peak; 0: not measured

    QTest::newRow("256 MB file") << QByteArray("large") << 0 << true << 16L * 1024;
    QTest::newRow("one 50 MB line") << QByteArray("long line") << 0 << false << 80L * 1024;
    QTest::newRow("a million lines") << QByteArray("many lines") << 0 << true << 16L * 1024;
    QTest::newRow("128 KiB own path") << QByteArray("long path") << 1 << false << 0L;
    QTest::newRow("128 KiB own name") << QByteArray("long name") << 0 << false << 0L;
    QTest::newRow("replacement syntax in the folder") << QByteArray("syntax") << 0 << true << 0L;
}

void RobustnessTest::hostileInput()
{
    QFETCH(QByteArray, kind);
    QFETCH(int, status);
    QFETCH(bool, replaced);
    QFETCH(long, memoryKiB);

    QString folder = m_folder;
    if (kind == "syntax") {
        // Text that a pattern replacement would read as a group, a whole match or an argument.
        folder = m_root.filePath(QStringLiteral(R"(a\1$1&%1\0)"));
        QVERIFY(QDir().mkpath(folder));
    }
    // Built from repeated parts and compared part by part, so that the test
    // holds no copy of a large file while the launcher's memory is measured.
    const QString path = folder + QStringLiteral("/VELNOR.INI");
    const QByteArray oldEntry = entryFor("C:\\X\\");
    const QPair<QByteArray, int> shortLines(QByteArray("k=v\r\n").repeated(1000), 500);
    QVector<QPair<QByteArray, int>> content;
    if (kind == "many lines")
        content << shortLines;
    const int entryAt = content.size();
    content << qMakePair(oldEntry, 1);
    if (kind == "large")
        content << qMakePair(typicalLine.repeated(1024), int((qint64(256) << 20) / typicalLine.size() / 1024));
    else if (kind == "long line")
        content << qMakePair(QByteArray("value="), 1) << qMakePair(QByteArray(1024 * 1024, 'x'), 50) << qMakePair(QByteArray("\r\n"), 1);
    else if (kind == "many lines")
        content << shortLines;
    content << qMakePair(lastLine, 1);
    const auto fileHolds = [&path, &content] {
        QFile file(path);
        qint64 size = 0;
        for (const auto &[bytes, times] : content) {
            for (int i = 0; i < times; ++i) {
                if (!file.isOpen() && !file.open(QIODevice::ReadOnly))
                    return false;
                if (file.read(bytes.size()) != bytes)
                    return false;
            }
            size += bytes.size() * qint64(times);
        }
        return file.size() == size;
    };
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (const auto &[bytes, times] : content) {
            for (int i = 0; i < times; ++i)
                QCOMPARE(file.write(bytes), qint64(bytes.size()));
        }
    }
    const FileState before = stateOf(path, false);

    Launch launch = launchFrom(folder);
    if (kind == "long path") {
        // Just under the longest argument Linux passes; no file system takes a path this long.
        launch.argv0 = QByteArray("/.").repeated(65530) + "/start";
    } else if (kind == "long name") {
        // No folder at all: the file is the one in the working directory, and entries stay.
        launch.argv0 = QByteArray(128 * 1024 - 1, 's');
        launch.workingDirectory = QFile::encodeName(folder);
    }
    const QString record = m_folder + QStringLiteral("/record");
    launch.environment << "VELNOR_STANDIN_RECORD=" + QFile::encodeName(record);
    launch.errorPath = QFile::encodeName(m_folder + QStringLiteral("/stderr"));
    if (memoryKiB)
        launch.peakMemoryPath = QFile::encodeName(m_folder + QStringLiteral("/peak"));
    const Result result = runLauncher(launch);
    QCOMPARE(result.status, status);
    QCOMPARE(result.standardError, status ? notOpen : QByteArray());
    QCOMPARE(recordAppears(record, status ? 300 : 10000), status == 0);
    if (replaced)
        content[entryAt].first = entryFor(QFile::encodeName(folder) + '/'); // the folder goes in as it is
    else
        QCOMPARE(stateOf(path, false), before);
    QVERIFY(fileHolds());

    if (memoryKiB) {
        qInfo("peak memory: %ld KiB", result.peakKiB);
#ifndef LAUNCHER_SANITIZED // the sanitizers keep freed memory in quarantine
        QVERIFY2(result.peakKiB < m_baselineKiB + memoryKiB, qPrintable(QString::number(result.peakKiB)));
#endif
    }
}

void RobustnessTest::readFaults_data()
{
    QTest::addColumn<QByteArray>("fault"); // kind and offset, as the file_faults library takes them
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<bool>("utf8"); // UTF-8 with an invalid last byte, else Windows-1251
    QTest::addColumn<int>("lines"); // of about 190 bytes after the entry

    // Where a read fails, the file stays as it was; reads that merely come
    // back short still give the whole file, rewritten byte for byte. The
    // offsets lie on the edges of the launcher's reads, or between them.
    const auto at = [](const char *kind, qint64 offset) { return kind + (',' + QByteArray::number(offset)); };
    const qint64 edge = numbers::checkBufferBytes, inside = edge + numbers::readBufferBytes / 4;
    QTest::newRow("EIO once at a buffer boundary") << at("eio", edge) << false << false << 1100;
    QTest::newRow("EIO once inside a buffer") << at("eio", inside) << true << false << 1100;
    QTest::newRow("a short read") << at("short", edge) << true << false << 1100;
    QTest::newRow("0 once before the end") << at("zero", edge) << false << false << 1100;
    QTest::newRow("0 once inside a buffer") << at("zero", inside) << true << false << 1100;
    QTest::newRow("EIO every time") << at("eio-always", edge) << false << false << 1100;
    QTest::newRow("EIO once in the last buffer") << at("eio", 3 * edge) << false << false << 1100;
    // The check that a Unicode file decodes reads after the mark, in pieces
    // of its own size.
    QTest::newRow("0 once in the UTF-8 check, before a bad byte") << at("zero", 3 + edge) << false << true << 1100;
    // Past the size up to which the content is compared again, only the
    // count of bytes read tells an early end from the file's.
    QTest::newRow("0 once before the end, past the comparison limit")
            << at("zero", numbers::contentCompareLimitBytes + 2 * edge) << false << false << 7000;
}

void RobustnessTest::readFaults()
{
    QFETCH(QByteArray, fault);
    QFETCH(bool, replaced);
    QFETCH(bool, utf8);
    QFETCH(int, lines);

    // The entry comes first, so that the fault meets the writing pass.
    const QByteArray rest = QByteArray("line00000 ").append(QByteArray(180, 'x')).append("\r\n").repeated(lines) + lastLine;
    writeFile(settings(), utf8 ? "\xEF\xBB\xBF" + entryFor("C:\\X\\") + rest + "\xFF" : entryFor("C:\\X\\") + rest);
    // Saved well before the launcher's new file: no later save to look for.
    const struct timespec earlier[] = { { time(nullptr) - 60, 0 }, { time(nullptr) - 60, 0 } };
    QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(settings()).constData(), earlier, 0), 0);
    const FileState before = stateOf(settings());
    const QString log = m_folder + QStringLiteral("/faults"), record = m_folder + QStringLiteral("/record");

    Launch launch = launchFrom(m_folder);
    launch.environment << "LD_PRELOAD=" FILE_FAULTS_PATH << "ASAN_OPTIONS=verify_asan_link_order=0"
                       << "LAUNCHER_READ_FAULT=" + fault + ',' + QFile::encodeName(settings())
                       << "LAUNCHER_READ_FAULT_LOG=" + QFile::encodeName(log)
                       << "VELNOR_STANDIN_RECORD=" + QFile::encodeName(record);
    QCOMPARE(runLauncher(launch).status, 0);
    QVERIFY(recordAppears(record));
    QVERIFY2(readAll(log).startsWith(fault.left(fault.indexOf(',')) + " at "), "no fault was injected");
    if (replaced)
        QVERIFY(readAll(settings()) == entryFor(folderBytes()) + rest);
    else
        QCOMPARE(stateOf(settings()), before);
    QCOMPARE(entriesOf(m_folder), QStringList({ QStringLiteral("VELNOR.INI"), QStringLiteral("faults"), QStringLiteral("record"),
                                                QStringLiteral("start"), QStringLiteral("velnor.exe") }));
}

void RobustnessTest::permissionFaults_data()
{
    QTest::addColumn<QByteArray>("fault"); // a call and its error, as the file_faults library takes them
    QTest::addColumn<uint>("mode");
    QTest::addColumn<uint>("owner");
    QTest::addColumn<bool>("replaced");

    // A file system without permission bits (FAT or exFAT through FUSE)
    // implements no chmod, or refuses one that changes nothing: the update
    // goes ahead. A mode or owner that could be kept but isn't set blocks it.
    // The new file is made with mode 0600, owned by the launcher's user.
    const uint nobody = 65534;
    QTest::newRow("no chmod, another mode") << QByteArray("fchmod,ENOSYS") << 0644u << 0u << true;
    QTest::newRow("chmod refused, same mode") << QByteArray("fchmod,EPERM") << 0600u << 0u << true;
    QTest::newRow("chmod refused, another mode") << QByteArray("fchmod,EPERM") << 0644u << 0u << false;
    QTest::newRow("chmod failed, same mode") << QByteArray("fchmod,EIO") << 0600u << 0u << false;
    QTest::newRow("chown refused, same owner") << QByteArray("fchown,EPERM") << 0644u << 0u << true;
    QTest::newRow("chown refused, another owner") << QByteArray("fchown,EPERM") << 0644u << nobody << false;
    QTest::newRow("no chown, another owner") << QByteArray("fchown,ENOSYS") << 0644u << nobody << false;
}

void RobustnessTest::permissionFaults()
{
    QFETCH(QByteArray, fault);
    QFETCH(uint, mode);
    QFETCH(uint, owner);
    QFETCH(bool, replaced);
    if (geteuid() != 0)
        QSKIP("needs root, whose files the new one's owner and mode must match");

    const Settings content(16 * 1024);
    writeFile(settings(), content.with("C:\\X\\"), mode);
    QCOMPARE(chown(QFile::encodeName(settings()).constData(), owner, 0), 0);
    const FileState before = stateOf(settings());
    const QString record = m_folder + QStringLiteral("/record");

    Launch launch = launchFrom(m_folder);
    launch.environment << "LD_PRELOAD=" FILE_FAULTS_PATH << "ASAN_OPTIONS=verify_asan_link_order=0"
                       << "LAUNCHER_CALL_FAULT=" + fault << "VELNOR_STANDIN_RECORD=" + QFile::encodeName(record);
    QCOMPARE(runLauncher(launch).status, 0);
    QVERIFY(recordAppears(record));
    if (replaced)
        QCOMPARE(readAll(settings()), content.with(folderBytes()));
    else
        QCOMPARE(stateOf(settings()), before);
    QCOMPARE(entriesOf(m_folder), QStringList({ QStringLiteral("VELNOR.INI"), QStringLiteral("record"),
                                                QStringLiteral("start"), QStringLiteral("velnor.exe") }));
}

void RobustnessTest::interruptedReplacement_data()
{
    QTest::addColumn<QStringList>("complete"); // files under the launcher's complete name
    QTest::addColumn<QStringList>("partial"); // under its temporary name
    QTest::addColumn<bool>("settingsThere");
    QTest::addColumn<QByteArray>("fault"); // a call fault, as the file_faults library takes it
    QTest::addColumn<bool>("started");

    // A replacement cut short between its renames may leave no VELNOR.INI
    // but the complete new file: it takes the name and is brought up to
    // date. A partial file never does, nor one of two, nor one beside
    // VELNOR.INI, which is a leftover removed once stale.
    const QString part = platform::temporaryNameFor(QStringLiteral("VELNOR.INI"));
    const QString one = platform::completeNameFor(part);
    const QString two = platform::completeNameFor(platform::temporaryNameFor(QStringLiteral("VELNOR.INI")));
    const QByteArray none;
    QTest::newRow("complete, alone") << QStringList{ one } << QStringList() << false << none << true;
    QTest::newRow("partial, alone") << QStringList() << QStringList{ part } << false << none << false;
    QTest::newRow("complete and partial") << QStringList{ one } << QStringList{ part } << false << none << true;
    QTest::newRow("two complete") << QStringList{ one, two } << QStringList() << false << none << false;
    QTest::newRow("complete beside VELNOR.INI") << QStringList{ one } << QStringList() << true << none << true;
    // Another start at the same moment put it back first: this one's rename
    // fails, and it opens the file all the same.
    QTest::newRow("complete, put back by another start") << QStringList{ one } << QStringList() << false
                                                         << QByteArray("renameat2,raced") << true;
}

void RobustnessTest::interruptedReplacement()
{
    QFETCH(QStringList, complete);
    QFETCH(QStringList, partial);
    QFETCH(bool, settingsThere);
    QFETCH(QByteArray, fault);
    QFETCH(bool, started);

    const Settings content(16 * 1024);
    const QByteArray oldContent = content.with("C:\\X\\");
    for (const QString &name : complete)
        writeFile(m_folder + u'/' + name, oldContent);
    for (const QString &name : partial)
        writeFile(m_folder + u'/' + name, oldContent.left(oldContent.size() / 2));
    if (settingsThere)
        writeFile(settings(), oldContent);
    const QString record = m_folder + QStringLiteral("/record");

    Launch launch = launchFrom(m_folder);
    launch.environment << "VELNOR_STANDIN_RECORD=" + QFile::encodeName(record);
    if (!fault.isEmpty())
        launch.environment << "LD_PRELOAD=" FILE_FAULTS_PATH << "ASAN_OPTIONS=verify_asan_link_order=0"
                           << "LAUNCHER_CALL_FAULT=" + fault;
    launch.errorPath = QFile::encodeName(m_folder + QStringLiteral("/stderr"));
    const Result result = runLauncher(launch);
    QCOMPARE(result.status, started ? 0 : 1);
    QCOMPARE(result.standardError, started ? QByteArray() : notOpen);
    QCOMPARE(recordAppears(record, started ? 10000 : 300), started);
    QStringList left = partial + QStringList{ QStringLiteral("start"), QStringLiteral("stderr"), QStringLiteral("velnor.exe") };
    if (started) {
        QCOMPARE(readAll(settings()), content.with(folderBytes()));
        left << QStringLiteral("VELNOR.INI") << QStringLiteral("record");
    }
    if (!started || settingsThere)
        left << complete;
    left.sort();
    QCOMPARE(entriesOf(m_folder), left);
}

QTEST_APPLESS_MAIN(RobustnessTest)
#include "tst_robustness.moc"
