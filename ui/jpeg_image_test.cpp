// Tests of JPEG decoding: the shipped picture, and files that are not what they claim.
#include "ui/jpeg_image.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/support/temp_dir.h"

namespace quorvane::ui {
namespace {

TEST(JpegImage, DecodesTheWelcomePicture) {
    std::string error;
    const QImage image = LoadJpeg(std::string(QUORVANE_PICTURES) + "welcome.jpg", &error);
    ASSERT_FALSE(image.isNull()) << error;
    EXPECT_EQ(image.size(), QSize(449, 336));
    // Light at the top, green at the bottom.
    const QColor top = image.pixelColor(5, 2);
    const QColor bottom = image.pixelColor(5, 333);
    EXPECT_GT(top.lightness(), 220);
    EXPECT_GT(bottom.green(), bottom.red());
    EXPECT_LT(bottom.lightness(), top.lightness());
}

TEST(JpegImage, DamagedMissingAndForeignFilesGiveANullImage) {
    testing::TTempDir dir;
    std::ifstream in(std::string(QUORVANE_PICTURES) + "welcome.jpg", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 1000u);
    // Files that end before the picture data, or are no JPEG at all, give no picture
    // and an error naming the file.
    for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
             {"cut.jpg", bytes.substr(0, 300)}, {"text.jpg", "not a picture at all"}, {"empty.jpg", ""}}) {
        std::ofstream(dir.File(name), std::ios::binary) << content;
        std::string error;
        const QImage image = LoadJpeg(dir.File(name), &error);
        EXPECT_TRUE(image.isNull()) << name;
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
    EXPECT_TRUE(LoadJpeg(dir.File("cut.jpg")).isNull());
    // A file cut inside the picture data decodes at its full size, libjpeg filling the
    // missing lines.
    std::ofstream(dir.File("half.jpg"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    const QImage half = LoadJpeg(dir.File("half.jpg"));
    ASSERT_FALSE(half.isNull());
    EXPECT_EQ(half.size(), QSize(449, 336));
    std::string error;
    EXPECT_TRUE(LoadJpeg(dir.File("missing.jpg"), &error).isNull());
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace quorvane::ui
