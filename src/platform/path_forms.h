// Paths as text: which characters separate folders, and the two spellings
// of a full Windows path, with the \\?\ prefix and without.
#ifndef PATH_FORMS_H
#define PATH_FORMS_H

#include <QString>

// Which characters separate folders. Windows knows only the backslash; on
// Linux the slash counts too, and the folder of an entry may hold slashes so
// that an entry written there is recognised again on the next start. Both
// rule sets are available everywhere, so that both can be tested anywhere.
enum class PathRules { Windows, Posix };

// Pure text, built on both platforms so that both can test it.
namespace pathforms {

// The long form of a full path, which no Win32 call cuts at MAX_PATH:
// C:\x as \\?\C:\x, \\srv\share\x as \\?\UNC\srv\share\x. A path already in
// the system's own namespaces (\\?\..., \\.\...) stays as it is.
QString withPrefix(const QString &fullPath);

// The form Qt and the user know: \\?\C:\x as C:\x, \\?\UNC\srv\share\x as
// \\srv\share\x; any other path (\\?\Volume{...}\x has no other form) as it
// is.
QString withoutPrefix(const QString &path);

} // namespace pathforms

#endif // PATH_FORMS_H
