// Measures the launcher's own work: the launch folder from argv[0], and the
// BIBO entry rewrite of settings files of several sizes and shapes. The rewrite
// reports bytes per second of the settings file.
//   build/bench/launcher_bench [--benchmark_filter=...]
#include "bibo_rewrite.h"
#include "launch.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Two launch folders of the same length: a file rewritten for one is out of
// date for the other, so alternating between them rewrites on every pass
// without restoring the file in between.
const QString folderA = QStringLiteral("E:\\Tools\\SuiteA\\");
const QString folderB = QStringLiteral("E:\\Tools\\SuiteB\\");

QByteArray typicalFile()
{
    QFile file(QStringLiteral(TYPICAL_SETTINGS_FILE));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", TYPICAL_SETTINGS_FILE);
        std::exit(1);
    }
    return file.readAll();
}

// The typical file repeated up to size: every copy brings its entries along.
QByteArray repeatedTo(const QByteArray &unit, qsizetype size)
{
    QByteArray bytes;
    bytes.reserve(size + unit.size());
    while (bytes.size() < size)
        bytes += unit;
    return bytes;
}

// The typical file with one line of the given length in its middle: a key
// followed by folder characters only, without the "BIBO" that would make it an
// entry, so the matcher runs through all of it and the line stays. Folders
// such as "Folder (x86)" stop the first reading at once and leave the whole
// line to the second.
QByteArray withLongLine(const QByteArray &typical, qsizetype length, const QByteArray &folder = "Folder")
{
    QByteArray line = "BIBOPATH9=C:\\";
    line.reserve(length + 2);
    while (line.size() < length)
        line += folder + "\\";
    line.truncate(length);
    const qsizetype middle = typical.indexOf("\r\n", typical.size() / 2) + 2;
    return typical.left(middle) + line + "\r\n" + typical.mid(middle);
}

class SettingsFile
{
public:
    explicit SettingsFile(const QByteArray &bytes) : m_path(m_folder.filePath(QStringLiteral("VELNOR.INI")))
    {
        QFile file(m_path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write the settings file\n");
            std::exit(1);
        }
    }
    const QString &path() const { return m_path; }
    qint64 size() const { return QFile(m_path).size(); }
    bool holds(const QByteArray &text) const
    {
        QFile file(m_path);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(text);
    }

    // One rewrite as the launcher does it: open, rewrite, close.
    void rewrite(const QString &launchFolder) const
    {
        QFile file(m_path);
        file.open(QIODevice::ReadOnly | QIODevice::Text);
        rewriteBiboPaths(file, launchFolder, PathRules::Windows);
    }

private:
    QTemporaryDir m_folder;
    QString m_path;
};

enum class State { UpToDate, NeedingChange };

void rewriteBenchmark(benchmark::State &state, const QByteArray &bytes, State fileState)
{
    SettingsFile settings(bytes);
    settings.rewrite(folderA);
    const qint64 size = settings.size();
    bool toB = fileState == State::NeedingChange;
    for (auto _ : state) {
        settings.rewrite(toB ? folderB : folderA);
        if (fileState == State::NeedingChange)
            toB = !toB;
    }
    // A rewrite that didn't happen, or changed the size, would measure something else.
    const QString last = fileState == State::UpToDate || toB ? folderA : folderB;
    if (settings.size() != size || !settings.holds("BIBOPATH1=" + last.toLatin1() + "BIBO\\"))
        state.SkipWithError("the settings file was not rewritten as expected");
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["file_bytes"] = double(size);
}

// argv[0] of the given length under Posix rules: a Windows path holds no
// slash, so the search for one runs through the whole string, the worst case.
void launchFolderBenchmark(benchmark::State &state)
{
    const qsizetype length = state.range(0);
    const QString name = QStringLiteral("start.exe");
    QString path = QStringLiteral("E:\\");
    while (path.size() < length - name.size())
        path += QStringLiteral("Folder\\");
    path.truncate(length - name.size() - 1);
    path += u'\\' + name;
    QString folder;
    for (auto _ : state) {
        folder = launchFolderOf(path, PathRules::Posix);
        benchmark::DoNotOptimize(folder);
    }
    if (folder.size() != path.size() - name.size())
        state.SkipWithError("wrong launch folder");
    state.SetBytesProcessed(state.iterations() * path.size() * qsizetype(sizeof(QChar)));
}

} // namespace

BENCHMARK(launchFolderBenchmark)->Name("LaunchFolder")->Arg(1000)->Arg(32767);

int main(int argc, char **argv)
{
    const QByteArray typical = typicalFile();
    const struct
    {
        const char *name;
        QByteArray bytes;
        State state;
        benchmark::TimeUnit unit;
    } cases[] = {
        { "Rewrite/typical/up_to_date", typical, State::UpToDate, benchmark::kMicrosecond },
        { "Rewrite/typical/needing_change", typical, State::NeedingChange, benchmark::kMicrosecond },
        { "Rewrite/1MB/up_to_date", repeatedTo(typical, 1 << 20), State::UpToDate, benchmark::kMillisecond },
        { "Rewrite/1MB/needing_change", repeatedTo(typical, 1 << 20), State::NeedingChange, benchmark::kMillisecond },
        { "Rewrite/100MB/up_to_date", repeatedTo(typical, 100 << 20), State::UpToDate, benchmark::kMillisecond },
        { "Rewrite/100MB/needing_change", repeatedTo(typical, 100 << 20), State::NeedingChange,
          benchmark::kMillisecond },
        { "Rewrite/10MB_line/needing_change", withLongLine(typical, 10 << 20), State::NeedingChange,
          benchmark::kMillisecond },
        { "Rewrite/10MB_wider_line/needing_change", withLongLine(typical, 10 << 20, "Folder (x86)"),
          State::NeedingChange, benchmark::kMillisecond },
    };
    for (const auto &c : cases) {
        // The file is read and written through the system: wall time is what a user waits.
        benchmark::RegisterBenchmark(c.name, rewriteBenchmark, c.bytes, c.state)->Unit(c.unit)->UseRealTime();
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
