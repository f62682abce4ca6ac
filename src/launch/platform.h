#ifndef PLATFORM_H
#define PLATFORM_H

#include "bibo_rewrite.h"

#include <QString>

// Everything in which the launcher differs between Windows and Linux. Each
// platform has one source file that implements these.
namespace platform {

// The separators of the launcher's own path and of the entries it writes.
PathRules pathRules();

// Sets up the text codecs and the debug channel before anything is decoded.
void prepareProcess();

// The launcher's own path, decoded from the first command-line argument.
QString decodeOwnPath(const char *argument);

// Starts the main program by name, with no arguments, in the launcher's
// working directory and environment, without waiting for it. Returns whether
// its process was created.
bool startDetached(const QString &programName);

} // namespace platform

#endif // PLATFORM_H
