// The Windows-1251 codec: the settings file's encoding, and on Windows the
// process's own code page.
#include "windows1251_codec.h"

namespace {

// Windows-1251 as Windows itself converts it. Qt's own table (the one built
// without ICU) has no character for byte 0x98: it reads U+FFFD there and
// can't write it back, so a file holding that byte could never be rewritten.
// Windows and ICU map it to U+0098; so does this codec, and with every byte
// mapped, any text without a mark survives reading and writing byte for
// byte. The other 255 bytes come from Qt's table.
class Windows1251Codec : public QTextCodec
{
public:
    explicit Windows1251Codec(const QTextCodec *table)
    {
        char16_t highest = 0;
        for (int byte = 0; byte < 256; ++byte) {
            const char c = char(byte);
            const QString decoded = table->toUnicode(&c, 1);
            const char16_t unicode = decoded.size() == 1 && decoded[0] != QChar::ReplacementCharacter
                    ? decoded[0].unicode() : char16_t(byte);
            m_toUnicode[byte] = QChar(unicode);
            highest = qMax(highest, unicode);
        }
        m_fromUnicode = QByteArray(highest + 1, '\0');
        for (int byte = 0x80; byte < 256; ++byte)
            m_fromUnicode[m_toUnicode[byte].unicode()] = char(byte);
    }

    QByteArray name() const override { return QByteArrayLiteral("Windows-1251"); }
    int mibEnum() const override { return 2251; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *) const override
    {
        // The tables are read through locals: a member read in the loop
        // would have UndefinedBehaviorSanitizer check the object's type for
        // every byte.
        const QChar *toUnicode = m_toUnicode;
        QString text(length, Qt::Uninitialized);
        QChar *out = text.data();
        for (int i = 0; i < length; ++i)
            out[i] = toUnicode[uchar(in[i])];
        return text;
    }

    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *state) const override
    {
        const char replacement = state && (state->flags & ConvertInvalidToNull) ? '\0' : '?';
        const char *fromUnicode = m_fromUnicode.constData();
        const int tableSize = m_fromUnicode.size();
        QByteArray bytes(length, Qt::Uninitialized);
        char *out = bytes.data();
        int invalid = 0;
        for (int i = 0; i < length; ++i) {
            const char16_t unicode = in[i].unicode();
            const char byte = unicode < 0x80 ? char(unicode) : unicode < tableSize ? fromUnicode[unicode] : '\0';
            if (byte == '\0' && unicode != 0) {
                out[i] = replacement;
                ++invalid;
            } else {
                out[i] = byte;
            }
        }
        if (state)
            state->invalidChars += invalid;
        return bytes;
    }

private:
    QChar m_toUnicode[256];
    QByteArray m_fromUnicode; // by character, the byte for it; 0 where there is none
};

} // namespace

QTextCodec *windows1251Codec()
{
    // Qt owns every codec and deletes it at exit.
    static QTextCodec *const codec = [] () -> QTextCodec * {
        const QTextCodec *table = QTextCodec::codecForName("Windows-1251");
        return table ? new Windows1251Codec(table) : nullptr;
    }();
    return codec;
}

