// Opening the settings file on Windows, and telling which version of it a
// name stands for.
#include "platform.h"
#include "platform_win.h"

#include <QFile>
#include <QFileDevice>

#include <fcntl.h>
#include <io.h>

namespace {

qint64 combined(DWORD high, DWORD low)
{
    return qint64((quint64(high) << 32) | low);
}

platform::FileStamp stampOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return platform::FileStamp();
    platform::FileStamp stamp;
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.index = quint64(combined(info.nFileIndexHigh, info.nFileIndexLow));
    stamp.size = combined(info.nFileSizeHigh, info.nFileSizeLow);
    stamp.modified = combined(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    return stamp;
}

// Qt takes a file handed over as a descriptor for a file without a name;
// the rewrite needs the name.
class NamedFile : public QFile
{
public:
    explicit NamedFile(const QString &name) : QFile(name), m_name(name) { }
    QString fileName() const override { return m_name; }

private:
    QString m_name;
};

} // namespace

namespace platform {

FileStamp stampOf(const QFileDevice &openFile)
{
    return stampOfHandle(nativeHandle(openFile));
}

FileStamp stampOf(const QString &fileName)
{
    // Attributes only: no other program's sharing mode stands in the way.
    const Handle file(CreateFileW(longPath(fileName).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    return stampOfHandle(file.get());
}

std::unique_ptr<QFile> openForReading(const QString &fileName, Waiting waiting)
{
    // Qt's own open shares no deletion, so it fails for the moment a second
    // launcher's rename holds the file, and while it reads no rename could
    // take the file away. A rename that replaces the file while it is read
    // changes its stamp, which the rewrite looks at before it replaces. The
    // name goes to the system as it is: Qt misreads the long forms
    // (\\?\UNC\... as a share named "?"). Without backup semantics no folder
    // opens.
    const std::wstring name = longPath(fileName);
    Handle file;
    const auto open = [&] {
        file.reset(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return file.isValid();
    };
    if (!(waiting == Waiting::WhileHeld ? retryWhileInUse(open) : open()))
        return nullptr;
    // Binary for the C runtime: the text stream drops the CRs itself.
    const int descriptor = _open_osfhandle(intptr_t(file.get()), _O_RDONLY | _O_BINARY);
    if (descriptor < 0)
        return nullptr;
    file.release(); // the descriptor has it now
    std::unique_ptr<QFile> settings(new NamedFile(fileName));
    if (!settings->open(descriptor, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        _close(descriptor);
        return nullptr;
    }
    return settings;
}

} // namespace platform
