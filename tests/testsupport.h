#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// File helpers shared by the test suites.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <sys/stat.h>

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeFile(const QString &path, const QByteArray &bytes, mode_t mode = 0644)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
    file.close();
    QCOMPARE(chmod(QFile::encodeName(path).constData(), mode), 0);
}

// What a replacement of the file would change.
struct FileState
{
    QByteArray bytes;
    ino_t inode = 0;
    qint64 modified = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;

    bool operator==(const FileState &other) const
    {
        return bytes == other.bytes && inode == other.inode && modified == other.modified && mode == other.mode
                && owner == other.owner && group == other.group;
    }
};

// What QCOMPARE prints of a state: the bytes by their size and a hash.
inline char *toString(const FileState &state)
{
    return qstrdup(QStringLiteral("%1 bytes (hash %2), inode %3, modified %4, mode %5, owner %6, group %7")
                           .arg(state.bytes.size())
                           .arg(qHash(state.bytes), 0, 16)
                           .arg(quint64(state.inode))
                           .arg(state.modified)
                           .arg(uint(state.mode), 4, 8, QLatin1Char('0'))
                           .arg(uint(state.owner))
                           .arg(uint(state.group))
                           .toLatin1()
                           .constData());
}

inline FileState stateOf(const QString &path, bool withBytes = true)
{
    FileState state;
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) == 0) {
        state.inode = info.st_ino;
        state.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        state.mode = info.st_mode & 07777;
        state.owner = info.st_uid;
        state.group = info.st_gid;
        if (withBytes && S_ISREG(info.st_mode)) // a FIFO or a device would never end
            state.bytes = readAll(path);
    }
    return state;
}

// A folder's names, compared whole: a failure prints both lists, and so
// names the file left behind, where a list of another size would say only
// that.
struct Names : QStringList
{
    using QStringList::QStringList;
    Names(const QStringList &names) : QStringList(names) { }
};

inline char *toString(const QStringList &names)
{
    return qstrdup(qPrintable(u'[' + names.join(QStringLiteral(", ")) + u']'));
}

inline char *toString(const Names &names)
{
    return toString(static_cast<const QStringList &>(names));
}

// Every name in the folder, hidden ones too, in order.
inline Names entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

#endif // TESTSUPPORT_H
