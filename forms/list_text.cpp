#include "list_text.h"

#include <QByteArray>
#include <QStringDecoder>
#include <array>

namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F; its five unused bytes show as U+FFFD.
constexpr std::array<char16_t, 32> windows_1252_high = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

QString from_windows_1252(std::string_view bytes) {
    QString text;
    text.reserve(qsizetype(bytes.size()));
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text.append(byte >= 0x80 && byte < 0xA0 ? QChar(windows_1252_high[byte - 0x80])
                                                : QChar(byte));
    }
    return text;
}

}  // namespace

QString shown_text(std::string_view bytes) {
    QStringDecoder locale(QStringDecoder::System, QStringDecoder::Flag::Stateless);
    const QString text = locale(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    return locale.hasError() ? from_windows_1252(bytes) : text;
}

std::string stored_bytes(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}
