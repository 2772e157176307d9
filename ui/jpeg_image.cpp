// libjpeg decoding: errors jump back to the caller instead of ending the process.
#include "ui/jpeg_image.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

namespace quorvane::ui {
namespace {

struct TErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr info) {
    auto* manager = reinterpret_cast<TErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

void OnMessage(j_common_ptr) {}  // warnings are not shown

struct TFileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};

struct TDecoded {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;  // RGB rows
};

// Only objects outside this frame change between setjmp and a jump back, so nothing
// here is left in an unknown state by an error.
bool Decode(std::FILE* file, TDecoded* out, TErrorManager* errors) {
    jpeg_decompress_struct info{};
    info.err = jpeg_std_error(&errors->base);
    errors->base.error_exit = OnError;
    errors->base.output_message = OnMessage;
    if (setjmp(errors->jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    out->width = static_cast<int>(info.output_width);
    out->height = static_cast<int>(info.output_height);
    out->pixels.resize(static_cast<std::size_t>(out->width) * 3 * static_cast<std::size_t>(out->height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out->pixels.data() + static_cast<std::size_t>(info.output_scanline) * 3 * static_cast<std::size_t>(out->width);
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

QImage LoadJpeg(const std::string& path, std::string* error) {
    std::unique_ptr<std::FILE, TFileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        if (error) *error = "cannot open " + path;
        return {};
    }
    TDecoded decoded;
    TErrorManager errors{};
    if (!Decode(file.get(), &decoded, &errors)) {
        if (error) *error = path + ": " + errors.message;
        return {};
    }
    QImage image(decoded.width, decoded.height, QImage::Format_RGB888);
    for (int y = 0; y < decoded.height; ++y) {
        std::memcpy(image.scanLine(y), decoded.pixels.data() + static_cast<std::size_t>(y) * 3 * decoded.width,
                    static_cast<std::size_t>(decoded.width) * 3);
    }
    return image;
}

}  // namespace quorvane::ui
