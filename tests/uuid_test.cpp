// SPDX-License-Identifier: MIT
// Client and port identifiers: generation, the port index, ordering and the text form.
#include <gtest/gtest.h>
#include <tamb/uuid.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

namespace {

constexpr tamb_uuid_t kSentinel = 0x5a5a5a5a5a5a5a5a;

// Runs in a freshly started copy of the test binary, where no id has been generated yet.
[[noreturn]] void ReportFirstTwoClientIds() {
  unsigned long long first = tamb_client_uuid_generate();
  unsigned long long second = tamb_client_uuid_generate();
  std::fprintf(stderr, "ids=%llu,%llu;", first, second);
  std::_Exit(0);
}

TEST(UuidDeathTest, FirstClientIdsOfAProcessAre8589934593And8589934594) {
  // The threadsafe style re-executes the binary; a forked child would inherit this process's
  // counter.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ReportFirstTwoClientIds(), testing::ExitedWithCode(0), "ids=8589934593,8589934594;");
}

TEST(Uuid, ClientIdsAreConsecutiveWithClientKind) {
  tamb_uuid_t first = tamb_client_uuid_generate();
  tamb_uuid_t second = tamb_client_uuid_generate();
  EXPECT_EQ(second, first + 1);
  for (tamb_uuid_t id : {first, second}) {
    EXPECT_EQ(id >> 32, 2u) << id;
    EXPECT_NE(id & (tamb_uuid_t{1} << 33), 0u) << id;
    EXPECT_EQ(id & (tamb_uuid_t{1} << 32), 0u) << id;
  }
}

TEST(Uuid, PortIdsCarryPortKindAndSerialIdPlusOne) {
  EXPECT_EQ(tamb_port_uuid_generate(0), 4294967297u);
  EXPECT_EQ(tamb_port_uuid_generate(41), 4294967296u + 42);
  EXPECT_EQ(tamb_port_uuid_generate(0xfffffffe), 0x1ffffffffu);
  // The serial is computed in 32 bits: the last port id wraps to serial 0 and keeps kind 1.
  EXPECT_EQ(tamb_port_uuid_generate(0xffffffff), 4294967296u);
}

TEST(Uuid, ToIndexRecoversPortIdsBelow65535FromTheLow16Bits) {
  for (uint32_t id : {0u, 1u, 2u, 1000u, 65533u, 65534u}) {
    EXPECT_EQ(tamb_uuid_to_index(tamb_port_uuid_generate(id)), id);
  }
  // Only the low 16 bits count: larger ids alias smaller ones and low bits 0 give all ones.
  EXPECT_EQ(tamb_uuid_to_index(tamb_port_uuid_generate(65535)), 4294967295u);
  EXPECT_EQ(tamb_uuid_to_index(tamb_port_uuid_generate(65536)), 0u);
  EXPECT_EQ(tamb_uuid_to_index(tamb_port_uuid_generate(70000)), 70000u - 65536u);
  EXPECT_EQ(tamb_uuid_to_index(0), 4294967295u);
  EXPECT_EQ(tamb_uuid_to_index(8589934593u), 0u);
  EXPECT_EQ(tamb_uuid_to_index(0xffffffffffff0005u), 4u);
}

TEST(Uuid, CompareOrdersAsUnsigned64BitValues) {
  EXPECT_EQ(tamb_uuid_compare(4294967297u, 8589934593u), -1);
  EXPECT_EQ(tamb_uuid_compare(8589934593u, 4294967297u), 1);
  EXPECT_EQ(tamb_uuid_compare(8589934593u, 8589934593u), 0);
  // Results are exactly -1 and 1, not any sign, and the top bit makes a value large.
  EXPECT_EQ(tamb_uuid_compare(0x8000000000000000u, 1), 1);
  EXPECT_EQ(tamb_uuid_compare(1, 0x8000000000000000u), -1);
  EXPECT_EQ(tamb_uuid_compare(UINT64_MAX, 0), 1);
  EXPECT_EQ(tamb_uuid_compare(0, UINT64_MAX), -1);
  EXPECT_EQ(tamb_uuid_compare(UINT64_MAX, UINT64_MAX), 0);
  // Kind bits outrank the serial.
  EXPECT_EQ(tamb_uuid_compare(4294967296u, 0xffffffffu), 1);
  EXPECT_EQ(tamb_uuid_compare(8589934592u, 4294967297u), 1);
}

TEST(Uuid, CopyClearAndEmptyCoverAll64Bits) {
  tamb_uuid_t id = kSentinel;
  tamb_uuid_copy(&id, 0xfedcba9876543210u);
  EXPECT_EQ(id, 0xfedcba9876543210u);
  EXPECT_EQ(tamb_uuid_empty(id), 0);
  tamb_uuid_clear(&id);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(tamb_uuid_empty(id), 1);

  EXPECT_EQ(tamb_uuid_empty(1), 0);
  EXPECT_EQ(tamb_uuid_empty(tamb_uuid_t{1} << 32), 0);
  EXPECT_EQ(tamb_uuid_empty(0x8000000000000000u), 0);
}

TEST(Uuid, UnparseWritesFullDecimalWithinTheBuffer) {
  struct Case {
    tamb_uuid_t id;
    const char *text;
  };
  for (const Case &c :
       {Case{8589934593u, "8589934593"}, Case{0, "0"}, Case{4294967297u, "4294967297"},
        Case{UINT64_MAX, "18446744073709551615"}}) {
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    tamb_uuid_unparse(c.id, buf);
    EXPECT_STREQ(buf, c.text);
    for (size_t i = TAMB_UUID_STRING_SIZE; i < sizeof buf; ++i) {
      ASSERT_EQ(buf[i], '#') << "wrote past the buffer at " << i;
    }
  }
}

TEST(Uuid, ParseRoundTripsUnparsedIds) {
  for (tamb_uuid_t id : {4294967296u, 4294967297u, 8589934593u, 0x8000000000000000u,
                         static_cast<tamb_uuid_t>(UINT64_MAX)}) {
    char buf[TAMB_UUID_STRING_SIZE];
    tamb_uuid_unparse(id, buf);
    tamb_uuid_t parsed = kSentinel;
    EXPECT_EQ(tamb_uuid_parse(buf, &parsed), 0) << buf;
    EXPECT_EQ(parsed, id);
  }
}

TEST(Uuid, ParseStoresNumberWithoutKindButFails) {
  tamb_uuid_t id = kSentinel;
  EXPECT_EQ(tamb_uuid_parse("12", &id), -1);
  EXPECT_EQ(id, 12u);

  id = kSentinel;
  EXPECT_EQ(tamb_uuid_parse("4294967295", &id), -1);
  EXPECT_EQ(id, 4294967295u);

  id = kSentinel;
  EXPECT_EQ(tamb_uuid_parse("0", &id), -1);
  EXPECT_EQ(id, 0u);
}

TEST(Uuid, ParseSkipsLeadingSpaceAndIgnoresTrailingText) {
  tamb_uuid_t id = kSentinel;
  EXPECT_EQ(tamb_uuid_parse(" 8589934593abc", &id), 0);
  EXPECT_EQ(id, 8589934593u);

  id = kSentinel;
  EXPECT_EQ(tamb_uuid_parse("\t\n4294967296 7", &id), 0);
  EXPECT_EQ(id, 4294967296u);
}

TEST(Uuid, ParseWithoutNumberLeavesDestinationUntouched) {
  for (const char *text : {"abc", "x8589934593", "", "   ", ":1"}) {
    tamb_uuid_t id = kSentinel;
    EXPECT_EQ(tamb_uuid_parse(text, &id), -1) << '"' << text << '"';
    EXPECT_EQ(id, kSentinel) << '"' << text << '"';
  }
}

TEST(Uuid, ParseRejectsNullTextOrDestination) {
  tamb_uuid_t id = kSentinel;
  EXPECT_EQ(tamb_uuid_parse(nullptr, &id), -1);
  EXPECT_EQ(id, kSentinel);
  EXPECT_EQ(tamb_uuid_parse("8589934593", nullptr), -1);
}

TEST(Uuid, ConcurrentGenerationYieldsOneContiguousRangeWithoutDuplicates) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 100000;
  std::vector<std::vector<tamb_uuid_t>> ids(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, &start, t] {
      ids[t].reserve(kPerThread);
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) ids[t].push_back(tamb_client_uuid_generate());
    });
  }
  for (std::thread &thread : threads) thread.join();

  std::vector<tamb_uuid_t> all;
  for (const auto &mine : ids) {
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    all.insert(all.end(), mine.begin(), mine.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), size_t{kThreads} * kPerThread);
  EXPECT_EQ(all.front() >> 32, 2u);
  EXPECT_EQ(all.back() - all.front(), all.size() - 1) << "duplicates or gaps";
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "duplicate id";
  // No other thread took ids meanwhile, so the next one follows the range directly.
  EXPECT_EQ(tamb_client_uuid_generate(), all.back() + 1);
}

}  // namespace
