#ifndef TEXT_ENCODING_H
#define TEXT_ENCODING_H

#include <QByteArray>
#include <QStringView>

#include <memory>

class QIODevice;
class QTextDecoder;
class QTextEncoder;

// How the settings file's bytes are read and written. Without a byte-order
// mark the file is Windows-1251; a Unicode mark names the encoding instead.
enum class TextEncoding { Windows1251, Utf8, Utf16BE, Utf16LE, Utf32BE, Utf32LE };

// The encoding named by the mark at the start of head (the file's first four
// bytes, or fewer); the UTF-32 marks are tested before the UTF-16 ones.
TextEncoding encodingOfMark(const QByteArray &head);

QByteArray byteOrderMark(TextEncoding encoding);

// Whether everything from the device's position to its end is well-formed
// in the given Unicode encoding: no invalid sequence, no lone surrogate, no
// truncated code unit. Reads the device in chunks.
bool isWellFormed(QIODevice &device, TextEncoding encoding);

// Decodes text in one encoding, chunk by chunk (a chunk may end inside a
// character), from the bytes after the mark: a second mark is text.
class TextDecoder
{
public:
    explicit TextDecoder(TextEncoding encoding);
    ~TextDecoder();

    QString decode(const char *bytes, int size);

private:
    std::unique_ptr<QTextDecoder> m_decoder;
};

// Encodes text in one encoding and remembers whether any character could not
// be encoded exactly.
class TextEncoder
{
public:
    explicit TextEncoder(TextEncoding encoding);
    ~TextEncoder();

    void append(QByteArray &bytes, QStringView text);
    bool hasFailure() const { return m_failed; }

private:
    void appendCodePoint(QByteArray &bytes, char32_t codePoint) const;

    TextEncoding m_encoding;
    std::unique_ptr<QTextEncoder> m_windows1251;
    bool m_failed = false;
};

#endif // TEXT_ENCODING_H
