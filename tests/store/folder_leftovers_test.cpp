// What a killed `new` or conversion leaves beside a cartridge: removed when it is ours and no
// velmtape holds it, left alone otherwise.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/cartridge_db.h"
#include "store/folder_leftovers.h"

namespace {

namespace fs = std::filesystem;

class FolderLeftovers : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmtape-leftovers-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        parent_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(parent_, 0);
    }
    void TearDown() override
    {
        close(parent_);
        fs::remove_all(dir_);
    }
    // A folder holding `files`, each with a few bytes.
    fs::path Folder(const std::string& name, const std::vector<std::string>& files)
    {
        fs::create_directory(dir_ / name);
        for (const std::string& file : files) {
            std::ofstream(dir_ / name / file) << "bytes";
        }
        return dir_ / name;
    }

    fs::path dir_;
    int parent_ = -1;
};

TEST_F(FolderLeftovers, OnlyAFolderOfCartridgeFilesIsRemoved)
{
    Folder("ours", {"index", "index-wal", "data"});
    EXPECT_TRUE(store::RemoveFolder(parent_, "ours"));
    EXPECT_FALSE(fs::exists(dir_ / "ours"));

    Folder("mixed", {"index", "data", "notes.txt"});
    EXPECT_FALSE(store::RemoveFolder(parent_, "mixed"));
    EXPECT_TRUE(fs::exists(dir_ / "mixed" / "index")) << "removed part of a folder not ours";
    EXPECT_TRUE(fs::exists(dir_ / "mixed" / "notes.txt"));
}

TEST_F(FolderLeftovers, AKilledNewGoesUnlessHeldOrNotOurs)
{
    const std::string aside = std::string("t") + store::kAsideSuffix;
    // Held by a velmtape still building it: kept.
    const fs::path held = Folder(aside, {"index", "data"});
    const int lock = open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
    store::CleanAside(parent_, "t");
    EXPECT_TRUE(fs::exists(held));
    close(lock);
    // Left by a killed one: removed.
    store::CleanAside(parent_, "t");
    EXPECT_FALSE(fs::exists(held));
    // Holding something else: kept whole.
    Folder(aside, {"index", "photo.jpg"});
    store::CleanAside(parent_, "t");
    EXPECT_TRUE(fs::exists(dir_ / aside / "photo.jpg"));
}

TEST_F(FolderLeftovers, AnOldFilesSecondNameGoesOnlyBesideItsKeptName)
{
    const std::string aside = std::string("t") + store::kAsideSuffix;
    std::ofstream(dir_ / "other") << "someone's file";
    fs::create_hard_link(dir_ / "other", dir_ / aside);
    store::CleanAside(parent_, "t");
    EXPECT_TRUE(fs::exists(dir_ / aside)) << "a link to a file that is no kept old cartridge";

    fs::remove(dir_ / aside);
    for (const char* kept : {store::kOldStoreSuffix, store::kOldFileSuffix}) {
        std::ofstream(dir_ / ("t" + std::string(kept))) << "old cartridge";
        fs::create_hard_link(dir_ / ("t" + std::string(kept)), dir_ / aside);
        store::CleanAside(parent_, "t");
        EXPECT_FALSE(fs::exists(dir_ / aside)) << kept;
        EXPECT_TRUE(fs::exists(dir_ / ("t" + std::string(kept)))) << kept;
    }
}

}  // namespace
