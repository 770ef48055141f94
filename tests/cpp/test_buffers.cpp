// Where large working buffers live: the heap up to a budget, then mappings
// of their own on whole huge pages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "vordex/core/numeric.hpp"

namespace {

using vordex::allocate_buffer;
using vordex::budgeted_heap_bytes;
using vordex::kBudgetedBuffer;
using vordex::kHeapBudget;
using vordex::own_mapped_buffers;
using vordex::release_buffer;

struct Buffer {
    void* p;
    std::size_t bytes;
};

// Marks every page of a buffer (and its last byte) with a tag, and checks
// the marks back.
void fill(const Buffer& b, unsigned char tag) {
    auto* c = static_cast<unsigned char*>(b.p);
    for (std::size_t i = 0; i < b.bytes; i += 4096) c[i] = tag;
    c[b.bytes - 1] = tag;
}
bool holds(const Buffer& b, unsigned char tag) {
    const auto* c = static_cast<const unsigned char*>(b.p);
    for (std::size_t i = 0; i < b.bytes; i += 4096)
        if (c[i] != tag) return false;
    return c[b.bytes - 1] == tag;
}

TEST(Buffers, HeapUpToTheBudgetThenMappingsOfTheirOwn) {
    ASSERT_EQ(budgeted_heap_bytes(), 0u);
    ASSERT_EQ(own_mapped_buffers(), 0u);
    // Ten buffers of 7 MiB: six fit the 48 MiB budget, the others do not.
    const std::size_t bytes = std::size_t{7} << 20;
    std::vector<Buffer> live;
    for (int i = 0; i < 10; ++i) {
        live.push_back({allocate_buffer(bytes), bytes});
        fill(live.back(), static_cast<unsigned char>(i + 1));
    }
    const bool mapped = vordex::own_mappings_supported();
    if (mapped) {
        EXPECT_EQ(budgeted_heap_bytes(), 6 * bytes);
        EXPECT_EQ(own_mapped_buffers(), 4u);
        for (int i = 6; i < 10; ++i)  // whole 2 MiB pages
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(live[i].p) % (std::size_t{2} << 20), 0u) << i;
    } else {
        EXPECT_EQ(budgeted_heap_bytes(), 10 * bytes);
        EXPECT_EQ(own_mapped_buffers(), 0u);
    }
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(holds(live[i], static_cast<unsigned char>(i + 1))) << i;
    // Freed in another order; a heap buffer freed makes room again.
    release_buffer(live[2].p, bytes);
    const Buffer again{allocate_buffer(bytes), bytes};
    fill(again, 0xAB);
    EXPECT_EQ(budgeted_heap_bytes(), (mapped ? 6 : 10) * bytes);
    for (int i = 9; i >= 0; --i)
        if (i != 2) release_buffer(live[i].p, bytes);
    EXPECT_TRUE(holds(again, 0xAB));
    release_buffer(again.p, bytes);
    EXPECT_EQ(budgeted_heap_bytes(), 0u);
    EXPECT_EQ(own_mapped_buffers(), 0u);
}

TEST(Buffers, WhenEverySlotIsTakenTheHeapServesTheRest) {
    // Past the budget at most 256 buffers are mapped on their own at once
    // (the table that tells them apart when freed); further ones go to the
    // heap, and every buffer is released the way it was allocated.
    const std::size_t bytes = kBudgetedBuffer;
    const std::size_t count = kHeapBudget / bytes + 300;
    std::vector<Buffer> live;
    for (std::size_t i = 0; i < count; ++i) {
        live.push_back({allocate_buffer(bytes), bytes});
        static_cast<unsigned char*>(live.back().p)[bytes - 1] = static_cast<unsigned char>(i);
    }
    const std::size_t mapped = vordex::own_mappings_supported() ? 256 : 0;
    EXPECT_EQ(own_mapped_buffers(), mapped);
    EXPECT_EQ(budgeted_heap_bytes(), (count - mapped) * bytes);
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(static_cast<unsigned char*>(live[i].p)[bytes - 1], static_cast<unsigned char>(i)) << i;
        release_buffer(live[i].p, bytes);
    }
    EXPECT_EQ(budgeted_heap_bytes(), 0u);
    EXPECT_EQ(own_mapped_buffers(), 0u);
}

TEST(Buffers, SmallAndLargeOnesAreNotBudgeted) {
    void* small = allocate_buffer(kBudgetedBuffer - 8);
    void* large = allocate_buffer(std::size_t{40} << 20);
    EXPECT_EQ(budgeted_heap_bytes(), 0u);
    EXPECT_EQ(own_mapped_buffers(), 0u);
    std::memset(large, 1, std::size_t{40} << 20);
    release_buffer(small, kBudgetedBuffer - 8);
    release_buffer(large, std::size_t{40} << 20);
}

TEST(Buffers, ThreadsShareTheBudgetAndLeaveNothingBehind) {
    // Each thread allocates, fills, checks and frees buffers of several
    // sizes over and over; the budget is crossed many times from both sides.
    auto work = [](unsigned seed, bool* ok) {
        std::uint64_t s = seed;
        for (int round = 0; round < 60; ++round) {
            std::vector<Buffer> mine;
            for (int k = 0; k < 4; ++k) {
                s = s * 6364136223846793005ULL + 1442695040888963407ULL;
                const std::size_t bytes = kBudgetedBuffer + (s >> 40) % (std::size_t{12} << 20);
                mine.push_back({allocate_buffer(bytes), bytes});
                fill(mine.back(), static_cast<unsigned char>(seed + k));
            }
            for (int k = 0; k < 4; ++k) {
                *ok = *ok && holds(mine[k], static_cast<unsigned char>(seed + k));
                release_buffer(mine[k].p, mine[k].bytes);
            }
        }
    };
    bool ok[4] = {true, true, true, true};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < 4; ++t) pool.emplace_back(work, t * 16 + 1, &ok[t]);
    for (auto& th : pool) th.join();
    for (bool b : ok) EXPECT_TRUE(b);
    EXPECT_EQ(budgeted_heap_bytes(), 0u);
    EXPECT_EQ(own_mapped_buffers(), 0u);
}

TEST(Buffers, VectorsOfAMebibyteAndMoreAreBudgeted) {
    {
        vordex::uvector v(kBudgetedBuffer / sizeof(double));
        EXPECT_EQ(budgeted_heap_bytes(), kBudgetedBuffer);
        v[0] = 1.0;
        v.back() = 2.0;
        vordex::uvector w(kBudgetedBuffer / sizeof(double) - 1);
        EXPECT_EQ(budgeted_heap_bytes(), kBudgetedBuffer);
    }
    EXPECT_EQ(budgeted_heap_bytes(), 0u);
}

}  // namespace

namespace {

// Results handed to an owner outside the library: mapped on their own (whole
// 2 MiB pages) where this build maps buffers, whatever their size, and
// neither budgeted nor counted as budgeted mappings.
TEST(Buffers, MappedResultsLiveOutsideTheHeapAndTheBudget) {
    const std::size_t sizes[] = {1, std::size_t{3} << 20, (std::size_t{2} << 20) + 8};
    void* empty = vordex::allocate_mapped(0);
    EXPECT_NE(empty, nullptr);
    std::vector<Buffer> live;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        live.push_back({vordex::allocate_mapped(sizes[i]), sizes[i]});
        ASSERT_NE(live.back().p, nullptr);
        if (vordex::own_mappings_supported()) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(live.back().p) % (std::size_t{2} << 20), 0u) << i;
        }
        fill(live.back(), static_cast<unsigned char>(i + 7));
    }
    EXPECT_EQ(budgeted_heap_bytes(), 0u);
    EXPECT_EQ(own_mapped_buffers(), 0u);
    for (std::size_t i = 0; i < live.size(); ++i) EXPECT_TRUE(holds(live[i], static_cast<unsigned char>(i + 7))) << i;
    for (std::size_t i = 0; i < live.size(); ++i) vordex::release_mapped(live[i].p, sizes[i]);
    vordex::release_mapped(empty, 0);
    EXPECT_THROW(vordex::allocate_mapped(std::size_t(-1) - 4096), std::bad_alloc);
}

}  // namespace
