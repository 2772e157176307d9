// Tests of record bitmaps against a plain model: sizes and storage growth, the set
// operations, counting and the word-skipping walks forwards and backwards, and the
// pool that lends bitmaps for temporary results.
#include "engine/table/records_bitmap.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace reruzo {
namespace {

// The model: a vector of booleans, index 0 unused.
struct TModel {
    std::vector<bool> bits{false};
    std::int32_t Size() const { return static_cast<std::int32_t>(bits.size()) - 1; }
    void SetSize(std::int32_t n) { bits.resize(static_cast<std::size_t>(n) + 1, false); }
    std::int32_t CountBefore(std::int32_t r) const {
        std::int32_t n = 0;
        for (std::int32_t i = 1; i < r && i <= Size(); ++i) n += bits[static_cast<std::size_t>(i)] ? 1 : 0;
        return n;
    }
    // The k-th set record after `from`, or 0.
    std::int32_t Next(std::int32_t from, std::int32_t k) const {
        for (std::int32_t i = std::max(from, 0) + 1; i <= Size(); ++i) {
            if (bits[static_cast<std::size_t>(i)] && --k == 0) return i;
        }
        return 0;
    }
    std::int32_t Previous(std::int32_t from, std::int32_t k) const {
        for (std::int32_t i = std::min(from - 1, Size()); i >= 1; --i) {
            if (bits[static_cast<std::size_t>(i)] && --k == 0) return i;
        }
        return 0;
    }
};

void ExpectSame(const TRecordsBitmap& b, const TModel& m, int step) {
    ASSERT_EQ(b.Size(), m.Size()) << "step " << step;
    for (std::int32_t r = 1; r <= m.Size(); ++r) ASSERT_EQ(b.Has(r), m.bits[static_cast<std::size_t>(r)]) << "step " << step << " record " << r;
    ASSERT_EQ(b.Count(), m.CountBefore(m.Size() + 1)) << "step " << step;
}

TEST(RecordsBitmap, AgreesWithAModelUnderRandomOperations) {
    std::mt19937 rng(5);
    TRecordsBitmap b;
    TModel m;
    TRecordsBitmap other;
    TModel otherModel;
    for (int step = 0; step < 3000; ++step) {
        const int op = static_cast<int>(rng() % 100);
        const std::int32_t size = m.Size();
        if (op < 5) {
            // Sizes that cross word and growth boundaries, also downwards.
            const std::int32_t n = static_cast<std::int32_t>(rng() % 3000);
            b.SetSize(n);
            m.SetSize(n);
        } else if (op < 40) {
            const std::int32_t r = 1 + static_cast<std::int32_t>(rng() % static_cast<unsigned>(size + 40));
            b.Set(r);
            if (r > m.Size()) m.SetSize(r);
            m.bits[static_cast<std::size_t>(r)] = true;
        } else if (op < 55) {
            if (size > 0) {
                const std::int32_t r = 1 + static_cast<std::int32_t>(rng() % static_cast<unsigned>(size));
                b.Reset(r);
                m.bits[static_cast<std::size_t>(r)] = false;
            }
        } else if (op < 58) {
            b.SetAll();
            std::fill(m.bits.begin() + 1, m.bits.end(), true);
        } else if (op < 60) {
            b.ClearAll();
            std::fill(m.bits.begin(), m.bits.end(), false);
        } else if (op < 64) {
            b.Not();
            for (std::size_t i = 1; i < m.bits.size(); ++i) m.bits[i] = !m.bits[i];
        } else if (op < 70) {
            // Another bitmap of a different size, combined word-wise.
            const std::int32_t n = static_cast<std::int32_t>(rng() % 3000);
            other.Clear();
            other.SetSize(n);
            otherModel.bits.assign(static_cast<std::size_t>(n) + 1, false);
            for (std::int32_t r = 1; r <= n; ++r) {
                if (rng() % 3 == 0) {
                    other.Set(r);
                    otherModel.bits[static_cast<std::size_t>(r)] = true;
                }
            }
            const bool useAnd = rng() % 2 == 0;
            if (useAnd) {
                b.And(other);
            } else {
                b.Or(other);
            }
            for (std::int32_t r = 1; r <= m.Size(); ++r) {
                const bool o = r <= n && otherModel.bits[static_cast<std::size_t>(r)];
                auto bit = m.bits[static_cast<std::size_t>(r)];
                m.bits[static_cast<std::size_t>(r)] = useAnd ? (bit && o) : (bit || o);
            }
        } else if (op < 72) {
            TRecordsBitmap copy;
            copy.Assign(b);
            b.Clear();
            b.Assign(copy);
        } else {
            // Walks and counts from random places with random strides.
            const std::int32_t from = static_cast<std::int32_t>(rng() % static_cast<unsigned>(size + 2));
            const std::int32_t k = 1 + static_cast<std::int32_t>(rng() % (rng() % 2 ? 3 : 200));
            ASSERT_EQ(b.CountBefore(from), m.CountBefore(from)) << "step " << step;
            std::int32_t at = from;
            std::int64_t ordinal = 1000;
            const std::int32_t next = m.Next(from, k);
            ASSERT_EQ(b.Next(at, k, ordinal), next != 0) << "step " << step;
            ASSERT_EQ(at, next != 0 ? next : from) << "step " << step;
            ASSERT_EQ(ordinal, next != 0 ? 1000 + k : 1000) << "step " << step;
            at = from;
            ordinal = 1000;
            const std::int32_t previous = m.Previous(from, k);
            ASSERT_EQ(b.Previous(at, k, ordinal), previous != 0) << "step " << step << " from " << from << " k " << k;
            ASSERT_EQ(at, previous != 0 ? previous : from) << "step " << step;
            ASSERT_EQ(ordinal, previous != 0 ? 1000 - k : 1000) << "step " << step;
        }
        ExpectSame(b, m, step);
    }
}

TEST(RecordsBitmap, StorageGrowsInStepsAndSizeZeroReleasesIt) {
    TRecordsBitmap b;
    EXPECT_EQ(b.AllocatedBytes(), 0u);
    b.SetSize(1);
    EXPECT_EQ(b.AllocatedBytes(), 256u);
    b.SetSize(2048);  // exactly 256 bytes of bits
    EXPECT_EQ(b.AllocatedBytes(), 256u);
    b.SetSize(2049);
    EXPECT_EQ(b.AllocatedBytes(), 512u);
    EXPECT_EQ(b.WordCount(), 65);
    b.SetAll();
    EXPECT_EQ(b.Count(), 2049);
    // Shrinking clears what is cut off: growing again brings back no old members.
    b.SetSize(40);
    b.SetSize(100);
    EXPECT_EQ(b.Count(), 40);
    EXPECT_FALSE(b.Has(41));
    b.SetSize(0);
    EXPECT_EQ(b.AllocatedBytes(), 0u);
    EXPECT_FALSE(b.Has(1));
    // Walks over long uniform runs cross whole words at once and land exactly.
    b.SetSize(1000000);
    b.SetAll();
    b.Reset(999999);
    std::int32_t at = 0;
    std::int64_t ordinal = 0;
    ASSERT_TRUE(b.Next(at, 999999, ordinal));
    EXPECT_EQ(at, 1000000);
    EXPECT_EQ(ordinal, 999999);
    ASSERT_TRUE(b.Previous(at, 999998, ordinal));
    EXPECT_EQ(at, 1);
    EXPECT_EQ(b.CountBefore(1000000), 999998);
}

TEST(RecordsBitmap, ThePoolLendsEmptyBitmapsAndGetsThemBackOnEveryPath) {
    const std::int64_t outstanding = TRecordsBitmapStack::OutstandingCount();
    {
        TPooledBitmap a;
        a->SetSize(5000);
        a->SetAll();
    }
    {
        TPooledBitmap again;  // the same storage comes back, cleared
        EXPECT_EQ(again->Size(), 0);
        again->SetSize(5000);
        EXPECT_EQ(again->Count(), 0);
    }
    EXPECT_THROW(
        {
            TPooledBitmap during;
            during->Set(3);
            throw std::runtime_error("evaluation failed");
        },
        std::runtime_error);
    EXPECT_EQ(TRecordsBitmapStack::OutstandingCount(), outstanding);
    EXPECT_GE(TRecordsBitmapStack::PooledCount(), 1u);
    // The pool keeps at most 512.
    {
        std::vector<TPooledBitmap> many(600);
        EXPECT_EQ(TRecordsBitmapStack::OutstandingCount(), outstanding + 600);
    }
    EXPECT_EQ(TRecordsBitmapStack::PooledCount(), 512u);
}

}  // namespace
}  // namespace reruzo
