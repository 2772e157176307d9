// Tests of folder and file name resolution.
#include "platform/file_names.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace quorvane::files {
namespace {

TEST(FileNames, FoldersAreFoundWithoutLetterCaseAndCanonicalised) {
    testing::TTempDir dir;
    std::filesystem::create_directories(dir.File("Data/Tables"));
    const std::string exact = dir.Dir() + "Data/Tables/";
    EXPECT_EQ(ResolveDirectoryCaseInsensitive(dir.Dir() + "DATA\\tables"), exact);
    const std::string canonical = CanonicalDirectory(exact);
    EXPECT_EQ(CanonicalDirectory(dir.Dir() + "data/TABLES/"), canonical);
    EXPECT_EQ(CanonicalDirectory(dir.Dir() + "Data/./x/../Tables"), canonical);
    EXPECT_EQ(canonical.back(), '/');
    std::filesystem::create_directory_symlink(dir.File("Data"), dir.File("link"));
    EXPECT_EQ(CanonicalDirectory(dir.Dir() + "link/Tables"), canonical);
    // Two folders that differ only in letter case stay two folders.
    std::filesystem::create_directories(dir.File("data/Tables"));
    EXPECT_NE(CanonicalDirectory(dir.Dir() + "data/Tables"), canonical);
    // A folder that does not exist keeps its given name.
    EXPECT_EQ(CanonicalDirectory("/no/such/folder"), "/no/such/folder/");
}

TEST(FileNames, FilesAreFoundWithoutLetterCase) {
    testing::TTempDir dir;
    dir.Write("Items.DAT", {1});
    EXPECT_EQ(ResolveCaseInsensitive(dir.Dir() + "ITEMS.dat"), dir.Dir() + "Items.DAT");
    EXPECT_EQ(ResolveCaseInsensitive(dir.Dir() + "none.dat"), dir.Dir() + "none.dat");
    EXPECT_EQ(NormalizeDirectory("C:\\data"), "C:/data/");
}

}  // namespace
}  // namespace quorvane::files
