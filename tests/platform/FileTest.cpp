// Folder services of the platform layer (files are covered through the
// file wrapper in the base tests).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PfFile.h"
#include "PfSystem.h"

namespace fs = std::filesystem;

namespace {

TEST(FileTest, CreateFolderMakesOneLevel) {
    fs::path base = fs::temp_directory_path() / ("vxpf_" + std::to_string(pf::ProcessId()));
    fs::remove_all(base);
    std::string strBase = base.string();
    std::string strDeep = (base / "a" / "b").string();

    EXPECT_FALSE(pf::PathExists(strBase.c_str()));
    EXPECT_FALSE(pf::CreateFolder(strDeep.c_str()));  // the parents are missing
    EXPECT_FALSE(pf::PathExists(strBase.c_str()));
    EXPECT_TRUE(pf::CreateFolder(strBase.c_str()));
    EXPECT_TRUE(pf::PathExists(strBase.c_str()));
    EXPECT_FALSE(pf::CreateFolder(strBase.c_str()));  // already there
    EXPECT_FALSE(pf::PathExists(nullptr));
    EXPECT_FALSE(pf::CreateFolder(nullptr));
    fs::remove_all(base);
}

}  // namespace
