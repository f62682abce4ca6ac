#include "text_encoding.h"
#include "launcher_numbers.h"
#include "windows1251_codec.h"

#include <QIODevice>
#include <QTextCodec>
#include <QTextDecoder>
#include <QTextEncoder>

TextEncoding encodingOfMark(const QByteArray &head)
{
    const auto startsWith = [&head](const char *mark, int size) {
        return head.size() >= size && memcmp(head.constData(), mark, size) == 0;
    };
    if (startsWith("\x00\x00\xFE\xFF", 4))
        return TextEncoding::Utf32BE;
    if (startsWith("\xFF\xFE\x00\x00", 4))
        return TextEncoding::Utf32LE;
    if (startsWith("\xFE\xFF", 2))
        return TextEncoding::Utf16BE;
    if (startsWith("\xFF\xFE", 2))
        return TextEncoding::Utf16LE;
    if (startsWith("\xEF\xBB\xBF", 3))
        return TextEncoding::Utf8;
    return TextEncoding::Windows1251;
}

QByteArray byteOrderMark(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Windows1251: return QByteArray();
    case TextEncoding::Utf8: return QByteArrayLiteral("\xEF\xBB\xBF");
    case TextEncoding::Utf16BE: return QByteArrayLiteral("\xFE\xFF");
    case TextEncoding::Utf16LE: return QByteArrayLiteral("\xFF\xFE");
    case TextEncoding::Utf32BE: return QByteArray("\x00\x00\xFE\xFF", 4);
    case TextEncoding::Utf32LE: return QByteArray("\xFF\xFE\x00\x00", 4);
    }
    return QByteArray();
}

namespace {

// Well-formed UTF-8 as the Unicode standard defines it: no overlong forms,
// no surrogates, nothing above U+10FFFF.
class Utf8Checker
{
public:
    bool feed(uchar byte)
    {
        if (m_pending == 0) {
            if (byte < 0x80)
                return true;
            if (byte >= 0xC2 && byte <= 0xDF)
                return expect(1, 0x80, 0xBF);
            if (byte == 0xE0)
                return expect(2, 0xA0, 0xBF);
            if (byte == 0xED)
                return expect(2, 0x80, 0x9F);
            if (byte >= 0xE1 && byte <= 0xEF)
                return expect(2, 0x80, 0xBF);
            if (byte == 0xF0)
                return expect(3, 0x90, 0xBF);
            if (byte >= 0xF1 && byte <= 0xF3)
                return expect(3, 0x80, 0xBF);
            if (byte == 0xF4)
                return expect(3, 0x80, 0x8F);
            return false;
        }
        if (byte < m_low || byte > m_high)
            return false;
        return expect(m_pending - 1, 0x80, 0xBF);
    }
    bool isComplete() const { return m_pending == 0; }

private:
    bool expect(int pending, uchar low, uchar high)
    {
        m_pending = pending;
        m_low = low;
        m_high = high;
        return true;
    }
    int m_pending = 0;
    uchar m_low = 0x80;
    uchar m_high = 0xBF;
};

// Fixed-width code units in either byte order; UTF-16 pairs its surrogates,
// UTF-32 holds scalar values only.
class UnitChecker
{
public:
    UnitChecker(int unitSize, bool bigEndian) : m_unitSize(unitSize), m_bigEndian(bigEndian) {}

    bool feed(uchar byte)
    {
        m_unit = m_bigEndian ? (m_unit << 8) | byte : m_unit | (char32_t(byte) << (8 * m_filled));
        if (++m_filled < m_unitSize)
            return true;
        const char32_t unit = m_unit;
        m_unit = 0;
        m_filled = 0;
        if (m_unitSize == 4)
            return unit < 0x110000 && !QChar::isSurrogate(unit);
        if (m_awaitingLowSurrogate) {
            m_awaitingLowSurrogate = false;
            return QChar::isLowSurrogate(unit);
        }
        m_awaitingLowSurrogate = QChar::isHighSurrogate(unit);
        return !QChar::isLowSurrogate(unit);
    }
    bool isComplete() const { return m_filled == 0 && !m_awaitingLowSurrogate; }

private:
    int m_unitSize;
    bool m_bigEndian;
    char32_t m_unit = 0;
    int m_filled = 0;
    bool m_awaitingLowSurrogate = false;
};

template <typename Checker>
bool checkAll(QIODevice &device, Checker checker)
{
    char chunk[numbers::checkBufferBytes];
    qint64 size;
    while ((size = device.read(chunk, sizeof chunk)) > 0) {
        for (qint64 i = 0; i < size; ++i) {
            if (!checker.feed(uchar(chunk[i])))
                return false;
        }
    }
    return size == 0 && checker.isComplete();
}

} // namespace

bool isWellFormed(QIODevice &device, TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Windows1251: return true;
    case TextEncoding::Utf8: return checkAll(device, Utf8Checker());
    case TextEncoding::Utf16BE: return checkAll(device, UnitChecker(2, true));
    case TextEncoding::Utf16LE: return checkAll(device, UnitChecker(2, false));
    case TextEncoding::Utf32BE: return checkAll(device, UnitChecker(4, true));
    case TextEncoding::Utf32LE: return checkAll(device, UnitChecker(4, false));
    }
    return false;
}

TextDecoder::TextDecoder(TextEncoding encoding)
{
    const char *name = nullptr;
    switch (encoding) {
    case TextEncoding::Windows1251: break;
    case TextEncoding::Utf8: name = "UTF-8"; break;
    case TextEncoding::Utf16BE: name = "UTF-16BE"; break;
    case TextEncoding::Utf16LE: name = "UTF-16LE"; break;
    case TextEncoding::Utf32BE: name = "UTF-32BE"; break;
    case TextEncoding::Utf32LE: name = "UTF-32LE"; break;
    }
    QTextCodec *codec = name ? QTextCodec::codecForName(name) : windows1251Codec();
    m_decoder.reset(codec->makeDecoder(QTextCodec::IgnoreHeader));
}

TextDecoder::~TextDecoder() = default;

QString TextDecoder::decode(const char *bytes, int size)
{
    return m_decoder->toUnicode(bytes, size);
}

TextEncoder::TextEncoder(TextEncoding encoding) : m_encoding(encoding)
{
    if (encoding == TextEncoding::Windows1251) {
        m_windows1251.reset(new QTextEncoder(windows1251Codec(), QTextCodec::IgnoreHeader));
    }
}

TextEncoder::~TextEncoder() = default;

namespace {

// The code point at text[*i], moving *i onto the second half of a pair; a
// lone surrogate comes back as it is.
char32_t codePointAt(QStringView text, qsizetype *i)
{
    const char16_t unit = text[*i].unicode();
    if (QChar::isHighSurrogate(unit) && *i + 1 < text.size() && text[*i + 1].isLowSurrogate())
        return QChar::surrogateToUcs4(unit, text[++*i].unicode());
    return unit;
}

void appendUtf8(QByteArray &bytes, char32_t codePoint)
{
    if (codePoint < 0x80) {
        bytes += char(codePoint);
    } else if (codePoint < 0x800) {
        bytes += char(0xC0 | codePoint >> 6);
        bytes += char(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        bytes += char(0xE0 | codePoint >> 12);
        bytes += char(0x80 | (codePoint >> 6 & 0x3F));
        bytes += char(0x80 | (codePoint & 0x3F));
    } else {
        bytes += char(0xF0 | codePoint >> 18);
        bytes += char(0x80 | (codePoint >> 12 & 0x3F));
        bytes += char(0x80 | (codePoint >> 6 & 0x3F));
        bytes += char(0x80 | (codePoint & 0x3F));
    }
}

void appendUnit(QByteArray &bytes, char32_t unit, int size, bool bigEndian)
{
    for (int i = 0; i < size; ++i)
        bytes += char(unit >> (8 * (bigEndian ? size - 1 - i : i)));
}

} // namespace

void TextEncoder::append(QByteArray &bytes, QStringView text)
{
    if (m_windows1251) {
        // One encoder for all lines: it keeps the codec's converter and counts every failure.
        bytes += m_windows1251->fromUnicode(text);
        m_failed = m_windows1251->hasFailure();
        return;
    }
    // Qt's own UTF-32 encoder adds stray bytes after characters outside the
    // Basic Multilingual Plane, so the Unicode forms are written here.
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char32_t codePoint = codePointAt(text, &i);
        if (QChar::isSurrogate(codePoint))
            m_failed = true; // a lone surrogate has no encoded form
        else
            appendCodePoint(bytes, codePoint);
    }
}

void TextEncoder::appendCodePoint(QByteArray &bytes, char32_t codePoint) const
{
    const bool bigEndian = m_encoding == TextEncoding::Utf16BE || m_encoding == TextEncoding::Utf32BE;
    switch (m_encoding) {
    case TextEncoding::Utf8:
        appendUtf8(bytes, codePoint);
        break;
    case TextEncoding::Utf16BE:
    case TextEncoding::Utf16LE:
        if (QChar::requiresSurrogates(codePoint)) {
            appendUnit(bytes, QChar::highSurrogate(codePoint), 2, bigEndian);
            appendUnit(bytes, QChar::lowSurrogate(codePoint), 2, bigEndian);
        } else {
            appendUnit(bytes, codePoint, 2, bigEndian);
        }
        break;
    case TextEncoding::Utf32BE:
    case TextEncoding::Utf32LE:
        appendUnit(bytes, codePoint, 4, bigEndian);
        break;
    case TextEncoding::Windows1251:
        break;
    }
}
