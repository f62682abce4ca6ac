// The Windows-1251 codec: the settings file's encoding, and on Windows the
// process's own code page.
#ifndef WINDOWS1251_CODEC_H
#define WINDOWS1251_CODEC_H

#include <QTextCodec>

// Made once, it maps every byte to a character and back: byte 0x98, which
// Windows-1251 leaves unassigned, is U+0098. Null where Qt has no
// Windows-1251 table.
QTextCodec *windows1251Codec();

#endif // WINDOWS1251_CODEC_H
