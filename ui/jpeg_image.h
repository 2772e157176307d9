// JPEG pictures decoded with libjpeg into Qt images, for the pictures that ship
// beside the program.
#pragma once

#include <QImage>
#include <string>

namespace quorvane::ui {

// The decoded picture, or a null image with the reason in `error` when the file is
// missing or not a JPEG picture this decoder can read. Never throws for bad data.
QImage LoadJpeg(const std::string& path, std::string* error = nullptr);

}  // namespace quorvane::ui
