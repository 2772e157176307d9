// The BLOB file on its own: the block layout on disk, chains of every length, the free
// chain and its reuse, damaged chains and headers reported instead of followed, the
// cipher, and read-ahead along a chain.
#include "engine/storage/blob_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TTempDir;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 1) {
    std::vector<std::uint8_t> v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return v;
}

class BlobFile : public ::testing::Test {
protected:
    std::unique_ptr<TBlobFile> Make(std::uint32_t blockSize = 512, bool encrypted = false) {
        auto f = std::make_unique<TBlobFile>(tmp.Dir(), "t");
        f->SetBlockSize(blockSize);
        f->SetEncrypted(encrypted);
        if (f->Exists()) {
            f->Open();
        } else {
            f->Create();
        }
        return f;
    }
    // Writes everything and reads the file's bytes.
    std::vector<std::uint8_t> Disk(TBlobFile& f) {
        f.FlushBlocks(false);
        f.WriteHeader(false, false);
        std::ifstream in(tmp.File("t.BLB"), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Saves `value` as a new BLOB and returns its first block.
    static std::int32_t Store(TBlobFile& f, const std::vector<std::uint8_t>& value, std::int32_t stamp) {
        TBlobBuffer b(f, 1, 1, 0, 0);
        b.Data() = value;
        b.SetModified(true);
        b.Save(nullptr, stamp);
        return b.FirstBlock();
    }
    static std::vector<std::uint8_t> LoadBlob(TBlobFile& f, std::int32_t first, std::int32_t stamp) {
        TBlobBuffer b(f, 1, 1, first, stamp);
        b.Load(nullptr);
        return b.Data();
    }
    static std::uint16_t ErrorOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const ERERUZOEngineError& e) {
            return e.EngineCode;
        }
        return 0;
    }
    // Changes one block on disk through the cache.
    static void Patch(TBlobFile& f, std::int32_t n, const std::function<void(TBlock&)>& change) {
        TPinnedBlock b(f.GetBlock(nullptr, n, 1));
        change(*b);
        b->MarkModified();
    }
    TTempDir tmp;
};

TEST_F(BlobFile, BlocksAreLaidOutAsChainsOfFullBlocks) {
    auto f = Make(512);
    EXPECT_EQ(f->BlockDataSize(), 494u);
    EXPECT_EQ(Store(*f, {}, 5), 0);  // an empty BLOB takes no block
    EXPECT_EQ(f->BlockCount(), 0);
    const std::int32_t one = Store(*f, Pattern(494), 7);
    EXPECT_EQ(f->BlockCount(), 1);
    const std::int32_t two = Store(*f, Pattern(495, 9), 8);
    EXPECT_EQ(f->BlockCount(), 3);
    EXPECT_EQ(one, 1);
    EXPECT_EQ(two, 2);

    const std::vector<std::uint8_t> disk = Disk(*f);
    ASSERT_EQ(disk.size(), 512u + 3 * 512);
    EXPECT_EQ(GetLE<std::int32_t>(&disk[13]), 4);  // NextBlockNo
    EXPECT_EQ(GetLE<std::int32_t>(&disk[9]), 0);   // no free block
    auto block = [&](int n) { return &disk[512 + static_cast<std::size_t>(n - 1) * 512]; };
    // Block 2: first of the 495-byte BLOB, full, followed by block 3.
    EXPECT_EQ(GetLE<std::int32_t>(block(2) + 0), 0);
    EXPECT_EQ(GetLE<std::int32_t>(block(2) + 4), 3);
    EXPECT_EQ(GetLE<std::uint16_t>(block(2) + 8), 494);
    EXPECT_EQ(GetLE<std::int32_t>(block(2) + 10), 8);
    EXPECT_EQ(GetLE<std::int32_t>(block(2) + 14), 495);
    // Block 3: one byte, the last of the pattern, size only in the first block.
    EXPECT_EQ(GetLE<std::int32_t>(block(3) + 0), 2);
    EXPECT_EQ(GetLE<std::int32_t>(block(3) + 4), 0);
    EXPECT_EQ(GetLE<std::uint16_t>(block(3) + 8), 1);
    EXPECT_EQ(GetLE<std::int32_t>(block(3) + 10), 8);
    EXPECT_EQ(GetLE<std::int32_t>(block(3) + 14), 0);
    EXPECT_EQ(block(3)[18], Pattern(495, 9)[494]);
    EXPECT_EQ(block(3)[19], 0);
}

TEST_F(BlobFile, EveryLengthComesBackAfterTheCacheIsGone) {
    auto f = Make(512);
    const std::vector<std::size_t> sizes = {1, 493, 494, 495, 988, 989, 100000, 1};
    std::vector<std::int32_t> firsts;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        firsts.push_back(Store(*f, Pattern(sizes[i], static_cast<std::uint8_t>(i)), static_cast<std::int32_t>(i + 10)));
    }
    Disk(*f);
    f.reset();
    f = Make(512);  // reopened: nothing cached
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(LoadBlob(*f, firsts[i], static_cast<std::int32_t>(i + 10)),
                  Pattern(sizes[i], static_cast<std::uint8_t>(i)))
            << sizes[i];
    }
    EXPECT_TRUE(LoadBlob(*f, 0, 0).empty());
    // 100,000 bytes are 203 blocks; reading them takes reads of up to half the cache
    // (32 blocks of 512), not one per block.
    const std::uint64_t before = f->Stats().readCalls;
    EXPECT_EQ(LoadBlob(*f, firsts[6], 16), Pattern(100000, 6));
    EXPECT_LE(f->Stats().readCalls - before, 8u);
}

TEST_F(BlobFile, ARewriteFreesTheOldChainAfterTheNewOneAndFreedBlocksAreReusedFirst) {
    auto f = Make(512);
    TBlobBuffer b(*f, 1, 1, 0, 0);
    b.Data() = Pattern(1200);  // 3 blocks
    b.Save(nullptr, 1);
    EXPECT_EQ(b.FirstBlock(), 1);
    b.Data() = Pattern(10, 3);
    b.Save(nullptr, 2);
    // The new block came first (4), then 1 to 3 went to the free chain.
    EXPECT_EQ(b.FirstBlock(), 4);
    EXPECT_EQ(b.Stamp(), 2);
    EXPECT_EQ(f->Header().FirstFreeBlock, 3);
    EXPECT_EQ(LoadBlob(*f, 4, 2), Pattern(10, 3));
    // The next BLOB of three blocks takes the freed ones: the file does not grow.
    const std::int32_t again = Store(*f, Pattern(1300, 5), 3);
    EXPECT_EQ(again, 3);
    EXPECT_EQ(f->BlockCount(), 4);
    EXPECT_EQ(f->Header().FirstFreeBlock, 0);
    EXPECT_EQ(LoadBlob(*f, again, 3), Pattern(1300, 5));
    // Freeing a BLOB puts all of its blocks back; an empty value frees as well.
    b.Data().clear();
    b.Save(nullptr, 4);
    EXPECT_EQ(b.FirstBlock(), 0);
    EXPECT_EQ(f->Header().FirstFreeBlock, 4);
    TBlobBuffer last(*f, 2, 1, again, 3);
    last.Free(nullptr);
    EXPECT_EQ(last.FirstBlock(), 0);
    Disk(*f);
    f.reset();
    f = Make(512);
    // The free chain holds all four blocks, each once.
    std::vector<std::int32_t> chain;
    for (std::int32_t n = f->Header().FirstFreeBlock; n != 0 && chain.size() < 10;) {
        chain.push_back(n);
        TPinnedBlock blk(f->GetBlock(nullptr, n, 1));
        n = blk->NextBlock;
    }
    std::sort(chain.begin(), chain.end());
    EXPECT_EQ(chain, (std::vector<std::int32_t>{1, 2, 3, 4}));
}

TEST_F(BlobFile, DamagedChainsAreReportedNotFollowed) {
    auto f = Make(512);
    const std::int32_t first = Store(*f, Pattern(1500), 7);  // blocks 1..4
    ASSERT_EQ(first, 1);
    EXPECT_EQ(ErrorOf([&] { LoadBlob(*f, first, 8); }), RERUZO_KEYORRECDELETED);  // rewritten by somebody
    EXPECT_EQ(ErrorOf([&] { LoadBlob(*f, 9, 7); }), RERUZO_MEMOCORRUPT);         // past the end
    EXPECT_EQ(ErrorOf([&] { f->GetBlock(nullptr, 0, 1); }), RERUZO_MEMOCORRUPT);

    // A loop: block 3 leads back to block 2.
    Patch(*f, 3, [](TBlock& b) { b.NextBlock = 2; });
    EXPECT_EQ(ErrorOf([&] { LoadBlob(*f, first, 7); }), RERUZO_MEMOCORRUPT);
    const std::int32_t freeBefore = f->Header().FirstFreeBlock;
    EXPECT_EQ(ErrorOf([&] { f->FreeBlob(nullptr, first, 7, false); }), RERUZO_MEMOCORRUPT);
    EXPECT_EQ(f->Header().FirstFreeBlock, freeBefore);  // nothing freed
    // A link past the end, a block claiming more than its data area, a short block.
    Patch(*f, 3, [](TBlock& b) { b.NextBlock = 99; });
    EXPECT_EQ(ErrorOf([&] { LoadBlob(*f, first, 7); }), RERUZO_MEMOCORRUPT);
    Patch(*f, 3, [](TBlock& b) {
        b.NextBlock = 4;
        b.UsedBytes = 600;
    });
    EXPECT_EQ(ErrorOf([&] { LoadBlob(*f, first, 7); }), RERUZO_INVALIDBLOBLEN);
    Patch(*f, 3, [](TBlock& b) { b.UsedBytes = 100; });
    EXPECT_EQ(ErrorOf([&] { LoadBlob(*f, first, 7); }), RERUZO_ENDOFBLOB);
    // A size no chain of this file could hold.
    Patch(*f, 1, [](TBlock& b) { b.BlobSize = 2000000000; });
    EXPECT_EQ(ErrorOf([&] { LoadBlob(*f, first, 7); }), RERUZO_MEMOCORRUPT);
    // Freeing with the wrong stamp is refused, unless forced.
    Patch(*f, 3, [](TBlock& b) { b.UsedBytes = 494; });
    EXPECT_EQ(ErrorOf([&] { f->FreeBlob(nullptr, first, 6, false); }), RERUZO_MEMOCORRUPT);
    f->FreeBlob(nullptr, first, 6, true);
    EXPECT_NE(f->Header().FirstFreeBlock, 0);
}

TEST_F(BlobFile, HeaderChecks) {
    auto f = Make(512);
    f->VerifyStructure();
    Store(*f, Pattern(600), 1);
    Disk(*f);
    f.reset();
    auto rewrite = [&](std::int32_t firstFree, std::int32_t next, std::uint8_t version = 5) {
        std::fstream io(tmp.File("t.BLB"), std::ios::binary | std::ios::in | std::ios::out);
        std::uint8_t bytes[9];
        bytes[0] = version;
        PutLE(bytes + 1, firstFree);
        PutLE(bytes + 5, next);
        io.seekp(8);
        io.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    };
    rewrite(3, 1);
    EXPECT_EQ(ErrorOf([&] { Make(512)->VerifyStructure(); }), RERUZO_HEADERCORRUPT);
    rewrite(3, 3);
    EXPECT_EQ(ErrorOf([&] { Make(512)->VerifyStructure(); }), RERUZO_HEADERCORRUPT);
    rewrite(2, 3);
    EXPECT_EQ(ErrorOf([&] { Make(512)->VerifyStructure(); }), 0);
    rewrite(0, 3, 4);
    EXPECT_EQ(ErrorOf([&] { Make(512)->VerifyStructure(); }), RERUZO_OLDVERSION);
}

TEST_F(BlobFile, AnEncryptedFileHoldsNoPlainBytes) {
    const std::string secret = "the start page was www.example.invalid";
    std::vector<std::uint8_t> value(secret.begin(), secret.end());
    value.insert(value.end(), 600, 'x');
    std::int32_t first = 0;
    {
        auto f = Make(128, true);
        first = Store(*f, value, 42);
        const std::vector<std::uint8_t> disk = Disk(*f);
        const std::string bytes(disk.begin(), disk.end());
        EXPECT_EQ(bytes.find("the start page"), std::string::npos);
        EXPECT_EQ(bytes.find("xxxxxxxx"), std::string::npos);
        // Each block's header and data are runs of their own: the same plain block
        // header bytes would give the same cipher bytes in every block.
        EXPECT_NE(GetLE<std::int32_t>(&disk[512 + 10]), 42);
    }
    auto f = Make(128, true);
    EXPECT_EQ(LoadBlob(*f, first, 42), value);
    // Read without the cipher, the chain is nonsense and is reported as such.
    auto plain = std::make_unique<TBlobFile>(tmp.Dir(), "t");
    plain->SetBlockSize(128);
    EXPECT_NE(ErrorOf([&] {
                  plain->Open();
                  plain->VerifyStructure();
                  LoadBlob(*plain, first, 42);
              }),
              0);
}

}  // namespace
}  // namespace reruzo
