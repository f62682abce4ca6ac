#ifndef LAUNCHRUNNER_H
#define LAUNCHRUNNER_H

// Starts the built launcher as a user's start would: with a chosen argv[0],
// working directory, environment and limits, and collects how it ended.

#include <QByteArray>
#include <QByteArrayList>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QVector>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// What the launcher says where it finds no settings file.
const QByteArray notOpen("File VELNOR.INI not open.\n");

// Copies the built launcher (as start) and the stand-in main program (as
// velnor.exe), which the suite names by LAUNCHER_PATH and STANDIN_PATH, into
// folder, made if need be, as a user's program folder holds them.
inline bool installPrograms(const QString &folder)
{
    return QDir().mkpath(folder) && QFile::copy(QStringLiteral(LAUNCHER_PATH), folder + QStringLiteral("/start"))
            && QFile::copy(QStringLiteral(STANDIN_PATH), folder + QStringLiteral("/velnor.exe"));
}

struct Launch
{
    QByteArray program;          // the executable to run
    QByteArray argv0;            // null: no arguments at all, not even argv[0]
    QByteArrayList arguments;
    QByteArray workingDirectory;
    QByteArrayList environment = { "PATH=/usr/bin:/bin" };
    QByteArray errorPath = "/dev/null"; // where standard error goes
    rlim_t fileSizeLimit = RLIM_INFINITY;
    bool ignoreFileSizeSignal = false;
    const int *gate = nullptr; // a pipe: the child execs once every copy of its write end is closed
    bool withoutProc = false; // an empty /proc in a mount namespace of its own, as in a chroot
    // When set, GNU time runs the launcher (argv[0] is then the program) and
    // writes its peak memory here. A forked child's own peak counts the test
    // process it was copied from; time's copy is small.
    QByteArray peakMemoryPath;
};

struct Result
{
    int status = -1;     // exit status, or 128 + signal; -1 when it hung
    long peakKiB = 0;    // the launcher's peak resident memory, when asked for
    QByteArray standardError;
};

// Hides /proc from this process and its children: needs the right to make a
// mount namespace (root, or an unprivileged user namespace).
inline bool hideProc()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
            && mount("tmpfs", "/proc", "tmpfs", 0, nullptr) == 0;
}

inline pid_t spawnLauncher(const Launch &launch)
{
    QByteArrayList argumentList;
    QByteArray program = launch.program;
    if (!launch.peakMemoryPath.isEmpty()) {
        argumentList << "time" << "-f" << "%M" << "-o" << launch.peakMemoryPath << launch.program << launch.arguments;
        program = "/usr/bin/time";
    } else if (!launch.argv0.isNull()) {
        argumentList << launch.argv0 << launch.arguments;
    }
    QByteArrayList environmentList = launch.environment;
    QVector<char *> argv, environment;
    for (QByteArray &item : argumentList)
        argv << item.data();
    for (QByteArray &item : environmentList)
        environment << item.data();
    argv << nullptr;
    environment << nullptr;
    const int errorFd = open(launch.errorPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    const pid_t child = fork();
    if (child == 0) {
        const int nullFd = open("/dev/null", O_RDWR);
        dup2(nullFd, 0);
        dup2(nullFd, 1);
        dup2(errorFd, 2);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGXFSZ, launch.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL);
        const struct rlimit limit = { launch.fileSizeLimit, launch.fileSizeLimit };
        char byte;
        if (launch.gate && (close(launch.gate[1]) != 0 || read(launch.gate[0], &byte, 1) != 0))
            _exit(126);
        if (launch.withoutProc && !hideProc())
            _exit(125);
        if (chdir(launch.workingDirectory.constData()) == 0 && setrlimit(RLIMIT_FSIZE, &limit) == 0)
            execve(program.constData(), argv.data(), environment.data());
        _exit(127);
    }
    close(errorFd);
    return child;
}

// Waits for the launcher; a generous bound only turns a hang into a failure.
inline Result finishLauncher(pid_t child, const Launch &launch, int timeoutMs = 30000)
{
    Result result;
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (timer.elapsed() > timeoutMs) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return result;
        }
        QThread::msleep(2);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    QFile peak(QFile::decodeName(launch.peakMemoryPath));
    if (!launch.peakMemoryPath.isEmpty() && peak.open(QIODevice::ReadOnly))
        result.peakKiB = peak.readAll().trimmed().toLong();
    QFile errors(QFile::decodeName(launch.errorPath));
    if (launch.errorPath != "/dev/null" && errors.open(QIODevice::ReadOnly))
        result.standardError = errors.readAll();
    return result;
}

inline Result runLauncher(const Launch &launch, int timeoutMs = 30000)
{
    return finishLauncher(spawnLauncher(launch), launch, timeoutMs);
}

// The stand-in main program writes its record, whole, once it runs.
inline bool recordAppears(const QString &path, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(path)) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(5);
    }
    return true;
}

#endif // LAUNCHRUNNER_H
