#ifndef LAUNCH_H
#define LAUNCH_H

#include "platform.h"

#include <QString>

// The folder that holds the launcher, as its own path names it: everything up
// to and including the last separator, or empty when no name follows one.
// Taken literally: a relative path gives a relative folder.
QString launchFolderOf(const QString &path, PathRules rules);

#endif // LAUNCH_H
