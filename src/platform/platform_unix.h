// What the Linux side's files share: the file-size signal as the launcher
// found it.
#ifndef PLATFORM_UNIX_H
#define PLATFORM_UNIX_H

namespace platform {

// Whether whoever started the launcher left SIGXFSZ at its default, which
// the main program then gets back.
bool fileSizeSignalWasDefault();

} // namespace platform

#endif // PLATFORM_UNIX_H
