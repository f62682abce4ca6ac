// The least a launcher built on Qt does: the application object, the
// Windows-1251 codec, and the main program beside it started detached.
#include <QCoreApplication>
#include <QProcess>
#include <QTextCodec>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (!QTextCodec::codecForName("Windows-1251"))
        return 1;
    return QProcess::startDetached(QCoreApplication::applicationDirPath() + QStringLiteral("/velnor.exe"), {}) ? 0 : 1;
}
