#ifndef PLATFORM_H
#define PLATFORM_H

#include <QString>

class QFileDevice;

// Which characters separate folders. Windows knows only the backslash; on
// Linux the slash counts too, and the folder of an entry may hold slashes so
// that an entry written there is recognised again on the next start. Both
// rule sets are available everywhere, so that both can be tested anywhere.
enum class PathRules { Windows, Posix };

// Everything in which the launcher differs between Windows and Linux. Each
// platform has one source file that implements these.
namespace platform {

// The rules of this platform's paths.
PathRules pathRules();

// Sets up the text codecs and the debug channel before anything is decoded.
void prepareProcess();

// The launcher's own path, decoded from the first command-line argument.
QString decodeOwnPath(const char *argument);

// Starts the main program by name, with no arguments, in the launcher's
// working directory and environment, without waiting for it. Returns whether
// its process was created.
bool startDetached(const QString &programName);

// Gives the replacement of a file the original's owner, group and permission
// bits, where the platform has them. Returns false when they can't be kept.
bool keepAccess(const QFileDevice &original, QFileDevice &replacement);

} // namespace platform

#endif // PLATFORM_H
