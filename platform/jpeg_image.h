#pragma once
// JPEG decoding through libjpeg, for the About picture.

#include <QByteArray>
#include <QImage>

namespace platform {

// Decodes a baseline JPEG stream into an RGB image at its own size; a null image when
// the stream cannot be decoded (libjpeg's errors never end the program).
QImage decode_jpeg(const QByteArray& jpeg_bytes);

}  // namespace platform
