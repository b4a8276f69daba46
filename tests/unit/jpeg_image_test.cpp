#include "jpeg_image.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImageWriter>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>

namespace {

using platform::decode_jpeg;

QByteArray about_jpeg() {
    QFile file(QStringLiteral(KESTRUN_ABOUT_JPEG));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

std::uint8_t byte_at(const QByteArray& bytes, qsizetype at) {
    return static_cast<std::uint8_t>(bytes[at]);
}

unsigned be16(const QByteArray& bytes, qsizetype at) {
    return static_cast<unsigned>(byte_at(bytes, at) << 8 | byte_at(bytes, at + 1));
}

struct Segment {
    std::uint8_t marker;
    QByteArray body;  // without the marker and the length field
};

// The marker segments before the scan, as a reader meets them.
std::vector<Segment> header_segments(const QByteArray& bytes) {
    std::vector<Segment> segments;
    if (bytes.size() < 4 || byte_at(bytes, 0) != 0xFF || byte_at(bytes, 1) != 0xD8) return {};
    qsizetype at = 2;
    while (at + 4 <= bytes.size() && byte_at(bytes, at) == 0xFF) {
        const std::uint8_t marker = byte_at(bytes, at + 1);
        const unsigned length = be16(bytes, at + 2);
        if (length < 2 || at + 2 + static_cast<qsizetype>(length) > bytes.size()) break;
        segments.push_back({marker, bytes.mid(at + 4, length - 2)});
        if (marker == 0xDA) break;  // entropy-coded data follows
        at += 2 + length;
    }
    return segments;
}

std::optional<Segment> first(const std::vector<Segment>& segments, std::uint8_t marker) {
    for (const auto& s : segments) {
        if (s.marker == marker) return s;
    }
    return std::nullopt;
}

TEST(AboutPicture, IsABaselineJfifAt96DpiWithSubsampledColour) {
    const QByteArray bytes = about_jpeg();
    ASSERT_FALSE(bytes.isEmpty()) << KESTRUN_ABOUT_JPEG;
    EXPECT_GT(bytes.size(), 5000);
    EXPECT_LT(bytes.size(), 7000);
    EXPECT_EQ(byte_at(bytes, bytes.size() - 2), 0xFF);
    EXPECT_EQ(byte_at(bytes, bytes.size() - 1), 0xD9);

    const auto segments = header_segments(bytes);
    ASSERT_FALSE(segments.empty());
    // JFIF wants its APP0 straight after SOI.
    ASSERT_EQ(segments.front().marker, 0xE0);
    const QByteArray app0 = segments.front().body;
    ASSERT_GE(app0.size(), 14);
    EXPECT_EQ(app0.left(5), QByteArray("JFIF\0", 5));
    EXPECT_EQ(byte_at(app0, 5), 1);  // major version
    EXPECT_EQ(byte_at(app0, 6), 1);  // minor version
    EXPECT_EQ(byte_at(app0, 7), 1);  // density in dots per inch
    EXPECT_EQ(be16(app0, 8), 96u);
    EXPECT_EQ(be16(app0, 10), 96u);

    // Baseline: SOF0 and no other frame type.
    for (const auto& s : segments) {
        const bool frame = s.marker >= 0xC0 && s.marker <= 0xCF && s.marker != 0xC4 &&
                           s.marker != 0xC8 && s.marker != 0xCC;
        if (frame) {
            EXPECT_EQ(s.marker, 0xC0);
        }
    }
    const auto sof0 = first(segments, 0xC0);
    ASSERT_TRUE(sof0.has_value());
    const QByteArray& sof = sof0->body;
    ASSERT_EQ(sof.size(), 6 + 3 * 3);
    EXPECT_EQ(byte_at(sof, 0), 8);  // bits per sample
    EXPECT_EQ(be16(sof, 1), 200u);  // height
    EXPECT_EQ(be16(sof, 3), 200u);  // width
    EXPECT_EQ(byte_at(sof, 5), 3);
    EXPECT_EQ(byte_at(sof, 7), 0x22);  // luma 2x2
    EXPECT_EQ(byte_at(sof, 10), 0x11);
    EXPECT_EQ(byte_at(sof, 13), 0x11);
    EXPECT_TRUE(first(segments, 0xDA).has_value());
}

void expect_near(const QImage& image, int x, int y, QColor expected) {
    const QColor got = image.pixelColor(x, y);
    constexpr int tolerance = 24;
    EXPECT_LE(std::abs(got.red() - expected.red()), tolerance) << x << "," << y;
    EXPECT_LE(std::abs(got.green() - expected.green()), tolerance) << x << "," << y;
    EXPECT_LE(std::abs(got.blue() - expected.blue()), tolerance) << x << "," << y;
}

TEST(AboutPicture, DecodesToTheDrawnEmblem) {
    const QImage image = decode_jpeg(about_jpeg());
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), 200);
    EXPECT_EQ(image.height(), 200);
    EXPECT_EQ(image.format(), QImage::Format_RGB888);
    // The colours of the picture before compression: the middle lies on the outer
    // signal arc, then the kestrel's wing, the blue tile, the signal dot and the
    // pale background at the top and bottom corners.
    expect_near(image, 100, 100, QColor(255, 255, 255));
    expect_near(image, 150, 50, QColor(246, 154, 46));
    expect_near(image, 142, 152, QColor(27, 81, 155));
    expect_near(image, 53, 145, QColor(255, 255, 255));
    expect_near(image, 3, 3, QColor(250, 243, 228));
    expect_near(image, 196, 196, QColor(208, 226, 246));
}

TEST(DecodeJpeg, CutStreamsGiveANullImage) {
    const QByteArray bytes = about_jpeg();
    ASSERT_FALSE(bytes.isEmpty());
    // Every cut, from inside the headers to the end-of-image marker: libjpeg itself
    // would pad a cut picture with grey and call it a success.
    for (qsizetype length = 0; length < bytes.size(); length += 61) {
        EXPECT_TRUE(decode_jpeg(bytes.left(length)).isNull()) << "cut at " << length;
    }
    EXPECT_TRUE(decode_jpeg(bytes.left(bytes.size() / 2)).isNull());
    EXPECT_TRUE(decode_jpeg(bytes.left(bytes.size() - 2)).isNull());
    EXPECT_TRUE(decode_jpeg(bytes.left(bytes.size() - 1)).isNull());
    EXPECT_FALSE(decode_jpeg(bytes).isNull());
}

TEST(DecodeJpeg, GarbageGivesANullImage) {
    EXPECT_TRUE(decode_jpeg(QByteArray()).isNull());
    EXPECT_TRUE(decode_jpeg(QByteArray("not a picture at all")).isNull());
    EXPECT_TRUE(decode_jpeg(QByteArray("\xFF\xD8", 2)).isNull());
    EXPECT_TRUE(decode_jpeg(QByteArray("\xFF\xD8\xFF\xD9", 4)).isNull());

    std::mt19937 random(20240611u);
    QByteArray noise(4096, '\0');
    for (auto& b : noise) b = static_cast<char>(random() & 0xFF);
    EXPECT_TRUE(decode_jpeg(noise).isNull());
    noise[0] = '\xFF';
    noise[1] = '\xD8';
    EXPECT_TRUE(decode_jpeg(noise).isNull());

    // A broken frame header: zero components.
    QByteArray bytes = about_jpeg();
    const auto sof = bytes.indexOf(QByteArray("\xFF\xC0", 2));
    ASSERT_GT(sof, 0);
    bytes[sof + 9] = '\0';
    EXPECT_TRUE(decode_jpeg(bytes).isNull());

    // The decoder keeps working after failures.
    EXPECT_FALSE(decode_jpeg(about_jpeg()).isNull());
}

QByteArray encode_with_qt(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(95);
    if (!writer.write(image)) return {};
    return bytes;
}

TEST(DecodeJpeg, OddSizesAndGreyPicturesComeOutAsRgb) {
    QImage colour(37, 23, QImage::Format_RGB888);
    for (int y = 0; y < colour.height(); ++y) {
        for (int x = 0; x < colour.width(); ++x)
            colour.setPixelColor(x, y, QColor(x * 6, y * 10, 128));
    }
    const QByteArray colour_bytes = encode_with_qt(colour);
    if (colour_bytes.isEmpty()) GTEST_SKIP() << "Qt has no JPEG writer here";
    const QImage back = decode_jpeg(colour_bytes);
    ASSERT_EQ(back.size(), colour.size());
    for (const auto& [x, y] : {std::pair{0, 0}, {36, 0}, {18, 11}, {0, 22}, {36, 22}}) {
        expect_near(back, x, y, colour.pixelColor(x, y));
    }

    QImage grey(9, 5, QImage::Format_Grayscale8);
    grey.fill(QColor(90, 90, 90));
    const QImage grey_back = decode_jpeg(encode_with_qt(grey));
    ASSERT_EQ(grey_back.size(), grey.size());
    EXPECT_EQ(grey_back.format(), QImage::Format_RGB888);
    expect_near(grey_back, 4, 2, QColor(90, 90, 90));
    const QColor c = grey_back.pixelColor(4, 2);
    EXPECT_EQ(c.red(), c.green());
    EXPECT_EQ(c.green(), c.blue());
}

}  // namespace
