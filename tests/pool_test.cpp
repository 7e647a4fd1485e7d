// SPDX-License-Identifier: MIT
// Aligned blocks from the pool allocator: alignment, usable size, failure and threads.
#include <gtest/gtest.h>
#include <malloc.h>
#include <tamb/pool.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

// Impossible sizes must come back as null. Under AddressSanitizer or ThreadSanitizer the
// allocator would otherwise report them as a fatal error instead of failing the call.
extern "C" __attribute__((used)) const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}

extern "C" __attribute__((used)) const char *__tsan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

bool Aligned64(const void *block) { return reinterpret_cast<uintptr_t>(block) % 64 == 0; }

// Checks that a fresh block is aligned, large enough and writable from its first to its last
// byte, then releases it.
void CheckBlock(uint64_t size) {
  SCOPED_TRACE(size);
  void *block = tamb_pool_alloc(size);
  if (size == 0 && block == nullptr) return;
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(Aligned64(block)) << block;
  ASSERT_GE(malloc_usable_size(block), size);
  std::memset(block, 0x3c, size);
  if (size > 0) {
    EXPECT_EQ(static_cast<unsigned char *>(block)[size - 1], 0x3c);
  }
  tamb_pool_release(block);
}

TEST(Pool, BlocksAreAlignedTo64AndWritableThroughout) {
  for (uint64_t size = 0; size <= 4160; ++size) CheckBlock(size);
  for (uint64_t size : {uint64_t{65535}, uint64_t{65537}, uint64_t{1} << 20,
                        (uint64_t{1} << 20) + 1, uint64_t{64} << 20, (uint64_t{64} << 20) - 7}) {
    CheckBlock(size);
  }
}

TEST(Pool, SizeAbove4GiBIsNotTruncated) {
  // A size cut to 32 bits would hand out a 64-byte block here. Address space is reserved
  // lazily, so only the touched pages cost memory; a machine that refuses the block may say so.
  const uint64_t size = (uint64_t{1} << 32) + 64;
  void *block = tamb_pool_alloc(size);
  if (block == nullptr) GTEST_SKIP() << "the system refused a 4 GiB block";
  EXPECT_TRUE(Aligned64(block));
  ASSERT_GE(malloc_usable_size(block), size);
  static_cast<unsigned char *>(block)[size - 1] = 1;
  tamb_pool_release(block);
}

TEST(Pool, LiveBlocksDoNotOverlap) {
  std::vector<unsigned char *> blocks;
  std::vector<uint64_t> sizes;
  for (uint64_t i = 0; i < 512; ++i) {
    uint64_t size = 1 + (i * 97) % 3000;
    auto *block = static_cast<unsigned char *>(tamb_pool_alloc(size));
    ASSERT_NE(block, nullptr);
    std::memset(block, static_cast<int>(i & 0xff), size);
    blocks.push_back(block);
    sizes.push_back(size);
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    for (uint64_t b = 0; b < sizes[i]; ++b) {
      ASSERT_EQ(blocks[i][b], i & 0xff) << "block " << i << " byte " << b;
    }
    tamb_pool_release(blocks[i]);
  }
}

TEST(Pool, ZeroSizeAndNullReleaseAreHarmless) {
  void *block = tamb_pool_alloc(0);
  if (block != nullptr) {
    EXPECT_TRUE(Aligned64(block));
  }
  tamb_pool_release(block);
  tamb_pool_release(nullptr);
}

TEST(Pool, ImpossibleSizeGivesNull) {
  for (uint64_t size : {UINT64_MAX, UINT64_MAX - 63, uint64_t{1} << 63, uint64_t{1} << 62}) {
    void *block = tamb_pool_alloc(size);
    EXPECT_EQ(block, nullptr) << size;
    tamb_pool_release(block);
  }
  // A failure leaves the allocator usable.
  void *block = tamb_pool_alloc(128);
  EXPECT_NE(block, nullptr);
  tamb_pool_release(block);
}

TEST(Pool, ThreadsAllocateAndReleaseConcurrently) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  constexpr int kLive = 16;
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&faults, t] {
      const auto tag = static_cast<unsigned char>(t + 1);
      unsigned char *live[kLive] = {};
      uint64_t sizes[kLive] = {};
      for (int i = 0; i < kRounds; ++i) {
        const int slot = i % kLive;
        if (live[slot] != nullptr) {
          if (live[slot][0] != tag || live[slot][sizes[slot] - 1] != tag) ++faults;
          tamb_pool_release(live[slot]);
        }
        sizes[slot] = 1 + static_cast<uint64_t>(i * 37 + t * 11) % 5000;
        live[slot] = static_cast<unsigned char *>(tamb_pool_alloc(sizes[slot]));
        if (live[slot] == nullptr || !Aligned64(live[slot])) {
          ++faults;
          live[slot] = nullptr;
          continue;
        }
        std::memset(live[slot], tag, sizes[slot]);
      }
      for (unsigned char *block : live) tamb_pool_release(block);
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(faults.load(), 0);
}

}  // namespace
