#include "jpeg_image.h"

// libjpeg's header needs FILE and size_t declared before it.
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
// jerror.h after jpeglib.h: it names the message codes.
#include <jerror.h>

namespace platform {

namespace {

// libjpeg's default error handler ends the process; ours jumps back to the decoder so
// that a bad stream only yields a null image.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf resume;
};

[[noreturn]] void error_exit(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    std::longjmp(errors->resume, 1);
}

// libjpeg only warns when the stream ends early and pads the picture with grey; a cut
// stream is a failure here. Other corrupt-data warnings are tolerated (the picture
// shows as far as it decodes) and, like all messages, kept off stderr.
void emit_message(j_common_ptr info, int level) {
    if (level < 0) {
        ++info->err->num_warnings;
        if (info->err->msg_code == JWRN_JPEG_EOF) error_exit(info);
    }
}

void output_message(j_common_ptr) {}

// Everything between setjmp and the end of decoding is plain C data: no destructor may
// be skipped by the jump, so the image is created before and handed back after.
bool decode_into(const QByteArray& bytes, ErrorManager& errors, jpeg_decompress_struct& info,
                 QImage& image) {
    if (setjmp(errors.resume) != 0) return false;

    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return false;
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_components != 3) return false;

    image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                   QImage::Format_RGB888);
    if (image.isNull()) return false;
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    return true;
}

}  // namespace

QImage decode_jpeg(const QByteArray& jpeg_bytes) {
    if (jpeg_bytes.isEmpty()) return {};

    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = error_exit;
    errors.base.emit_message = emit_message;
    errors.base.output_message = output_message;

    QImage image;
    const bool decoded = decode_into(jpeg_bytes, errors, info, image);
    jpeg_destroy_decompress(&info);
    if (!decoded) return {};
    return image;
}

}  // namespace platform
