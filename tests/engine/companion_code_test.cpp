// SPDX-License-Identifier: GPL-3.0-or-later
//
// The companion's arithmetic: CRC32C and the GF(2^8) coding as ISA-L
// computes them, the portable routines held against ISA-L on random data
// (they must agree byte for byte, or a companion written on Windows would
// not repair on Linux), and the group code's decoders on errors they must
// find and errors they must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#if KELMORA_HAVE_ISAL
#include <isa-l/erasure_code.h>
#endif

#include "engine/companion/erasure_code.h"
#include "engine/companion/recovery_code.h"

namespace kelmora::companion {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t Size, std::mt19937& Rng) {
  Bytes b(Size);
  for (uint8_t& x : b) x = static_cast<uint8_t>(Rng());
  return b;
}

std::vector<uint8_t*> Pointers(std::vector<Bytes>& Blocks) {
  std::vector<uint8_t*> p;
  for (Bytes& b : Blocks) p.push_back(b.data());
  return p;
}

TEST(CompanionCrc, StandardValueAndContinuation) {
  EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(Crc32c(0, "", 0), 0u);
  std::mt19937 rng(7);
  const Bytes data = Random(100003, rng);
  for (size_t cut : {0u, 1u, 7u, 8u, 4096u, 50001u}) {
    const uint32_t whole = Crc32c(0, data.data(), data.size());
    EXPECT_EQ(Crc32c(Crc32c(0, data.data(), cut), data.data() + cut, data.size() - cut), whole);
  }
  EXPECT_EQ(~portable::Crc32cRaw(~0u, reinterpret_cast<const uint8_t*>("123456789"), 9),
            0xE3069283u);
}

#if KELMORA_HAVE_ISAL
TEST(CompanionPortable, CrcMatchesIsal) {
  std::mt19937 rng(11);
  for (size_t size : {0u, 1u, 3u, 8u, 15u, 63u, 64u, 4095u, 4096u, 65537u}) {
    const Bytes data = Random(size, rng);
    const uint32_t init = static_cast<uint32_t>(rng());
    EXPECT_EQ(portable::Crc32cRaw(init, data.data(), size),
              isal::Crc32cRaw(init, data.data(), size))
        << size;
  }
}

TEST(CompanionPortable, FieldMatrixAndInverseMatchIsal) {
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b)
      ASSERT_EQ(gf::Mul(static_cast<uint8_t>(a), static_cast<uint8_t>(b)),
                gf_mul(static_cast<unsigned char>(a), static_cast<unsigned char>(b)));
  for (auto [m, k] : {std::pair{2, 1}, {13, 10}, {255, 242}, {256, 128}}) {
    Bytes ours(static_cast<size_t>(m) * k);
    Bytes theirs(ours.size());
    portable::CauchyMatrix(ours.data(), m, k);
    isal::CauchyMatrix(theirs.data(), m, k);
    EXPECT_EQ(ours, theirs) << m << "x" << k;
  }
  std::mt19937 rng(3);
  int singular = 0;
  for (int round = 0; round < 200; ++round) {
    const int n = 1 + static_cast<int>(rng() % 12);
    Bytes m = Random(static_cast<size_t>(n) * n, rng);
    // Small entries make singular matrices common enough to compare too.
    if (round % 2)
      for (uint8_t& x : m) x &= 1;
    Bytes ours(m.size());
    Bytes theirs(m.size());
    const bool a = portable::InvertMatrix(m.data(), ours.data(), n);
    ASSERT_EQ(a, isal::InvertMatrix(m.data(), theirs.data(), n));
    singular += !a;
    if (!a) continue;
    EXPECT_EQ(ours, theirs);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        uint8_t s = 0;
        for (int x = 0; x < n; ++x) s ^= gf::Mul(m[i * n + x], ours[x * n + j]);
        ASSERT_EQ(s, i == j ? 1 : 0);
      }
  }
  EXPECT_GT(singular, 0);
}

TEST(CompanionPortable, EncodeAndUpdateMatchIsal) {
  std::mt19937 rng(5);
  for (size_t length : {1u, 15u, 31u, 32u, 100u, 4096u}) {
    const int k = 1 + static_cast<int>(rng() % 40);
    const int rows = 1 + static_cast<int>(rng() % 14);
    const Bytes coefficients = Random(static_cast<size_t>(k) * rows, rng);
    std::vector<Bytes> sources;
    for (int c = 0; c < k; ++c) sources.push_back(Random(length, rng));
    std::vector<Bytes> ours(rows, Bytes(length));
    std::vector<Bytes> theirs(rows, Bytes(length));
    std::vector<Bytes> updated(rows, Bytes(length, 0));
    const std::vector<uint8_t*> src = Pointers(sources);
    const Bytes tables = isal::Tables(rows, k, coefficients.data());
    portable::Encode(length, k, rows, coefficients.data(), src.data(), Pointers(ours).data());
    isal::Encode(length, k, rows, tables.data(), src.data(), Pointers(theirs).data());
    EXPECT_EQ(ours, theirs) << length;
    // Sources fed one by one, last first, through either routine.
    for (int c = k - 1; c >= 0; --c) {
      if (c % 2)
        portable::Update(length, k, rows, c, coefficients.data(), src[c], Pointers(updated).data());
      else
        isal::Update(length, k, rows, c, tables.data(), src[c], Pointers(updated).data());
    }
    EXPECT_EQ(updated, theirs) << length;
  }
}
#endif

// A group of real size with parity made by the encoder, then damaged.
struct CodedGroup {
  CodedGroup(int K, int P, size_t Length, uint32_t Seed) : code(K, P), rng(Seed) {
    for (int i = 0; i < K; ++i) data.push_back(Random(Length, rng));
    parity.assign(P, Bytes(Length));
    const std::vector<uint8_t*> d = Pointers(data);
    code.Encoder().Encode(Length, d.data(), Pointers(parity).data());
  }
  // Syndrome rows: stored parity plus parity recomputed from the data as
  // it now is.
  std::vector<Bytes> Syndromes(const std::vector<Bytes>& Data, const std::vector<Bytes>& Parity) {
    std::vector<Bytes> s(Parity);
    std::vector<Bytes> again(Parity.size(), Bytes(Parity[0].size()));
    std::vector<Bytes> d(Data);
    code.Encoder().Encode(Parity[0].size(), Pointers(d).data(), Pointers(again).data());
    for (size_t j = 0; j < s.size(); ++j)
      for (size_t x = 0; x < s[j].size(); ++x) s[j][x] ^= again[j][x];
    return s;
  }
  GroupCode code;
  std::mt19937 rng;
  std::vector<Bytes> data;
  std::vector<Bytes> parity;
};

TEST(CompanionGroupCode, ErasuresUpToTheParityCount) {
  CodedGroup g(242, 13, 64, 9);
  std::vector<Bytes> damaged = g.data;
  std::vector<Bytes> parity = g.parity;
  // Nine data blocks and four parity blocks lost: thirteen, all there is.
  std::vector<int> lost{0, 5, 17, 100, 101, 102, 200, 240, 241};
  for (int i : lost) std::fill(damaged[i].begin(), damaged[i].end(), 0);
  std::vector<int> lostParity{242, 245, 250, 254};
  for (int i : lostParity) std::fill(parity[i - 242].begin(), parity[i - 242].end(), 0xAA);
  std::vector<Bytes> s = g.Syndromes(damaged, parity);
  std::vector<Bytes> errors(lost.size(), Bytes(64));
  std::vector<uint8_t*> rows = Pointers(s);
  ASSERT_TRUE(g.code.SolveErasures(lost, lostParity, 64, rows.data(), Pointers(errors).data()));
  for (size_t i = 0; i < lost.size(); ++i) {
    for (size_t x = 0; x < 64; ++x) damaged[lost[i]][x] ^= errors[i][x];
    EXPECT_EQ(damaged[lost[i]], g.data[lost[i]]) << lost[i];
  }
  lost.push_back(3);
  EXPECT_FALSE(g.code.SolveErasures(lost, lostParity, 64, rows.data(), Pointers(errors).data()));
}

TEST(CompanionGroupCode, ColumnsLocateErrorsAmongCandidatesOnly) {
  CodedGroup g(242, 13, 1, 21);
  const int n = 255;
  std::mt19937 rng(4);
  int decoded = 0;
  for (int round = 0; round < 400; ++round) {
    std::vector<Bytes> data = g.data;
    std::vector<Bytes> parity = g.parity;
    const int erasures = round % 5;
    const int errors = static_cast<int>(rng() % ((13 - erasures) / 2 + 1));
    std::vector<int> places(n);
    for (int i = 0; i < n; ++i) places[i] = i;
    std::shuffle(places.begin(), places.end(), rng);
    std::vector<int> erased(places.begin(), places.begin() + erasures);
    std::vector<uint8_t> candidate(n, 0);
    for (int i = 0; i < erasures + errors; ++i) {
      const int at = places[i];
      Bytes& b = at < 242 ? data[at] : parity[at - 242];
      b[0] = i < erasures ? 0 : static_cast<uint8_t>(b[0] ^ (1 + rng() % 255));
      candidate[at] = 1;
    }
    // Decoys: blocks that failed their checksum elsewhere, sound here.
    for (int i = 0; i < 60; ++i) candidate[places[erasures + errors + i]] = 1;
    const std::vector<Bytes> s = g.Syndromes(data, parity);
    Bytes column(13);
    for (int j = 0; j < 13; ++j) column[j] = s[j][0];
    std::vector<std::pair<int, uint8_t>> located;
    ASSERT_TRUE(g.code.DecodeColumn(column.data(), erased, candidate, located)) << round;
    for (const auto& [at, value] : located) {
      Bytes& b = at < 242 ? data[at] : parity[at - 242];
      b[0] ^= value;
    }
    EXPECT_EQ(data, g.data) << round;
    EXPECT_EQ(parity, g.parity) << round;
    decoded += static_cast<int>(located.size());
    // The same error where no checksum failed is not believed.
    if (errors > 0) {
      candidate[places[erasures]] = 0;
      EXPECT_FALSE(g.code.DecodeColumn(column.data(), erased, candidate, located));
    }
  }
  EXPECT_GT(decoded, 800);
}

TEST(CompanionGroupCode, GeometryFollowsPercentAndField) {
  const RecoveryGeometry five = RecoveryGeometry::For(1000000, 4096, 5);
  ASSERT_TRUE(five.Valid());
  EXPECT_LE(five.DataPerGroup + five.ParityPerGroup, 255u);
  EXPECT_GE(five.ParityPerGroup * 100, five.DataPerGroup * 5);
  EXPECT_GE(five.ParityPerGroup, 10u);  // ten damaged blocks in every group
  EXPECT_GE(five.Groups * five.DataPerGroup, 1000000u);
  EXPECT_LT((five.Groups - 1) * five.DataPerGroup, 1000000u);
  const RecoveryGeometry small = RecoveryGeometry::For(7, 4096, 5);
  EXPECT_EQ(small.Groups, 1u);
  EXPECT_EQ(small.DataPerGroup, 7u);
  EXPECT_EQ(small.ParityPerGroup, 1u);
  EXPECT_TRUE(RecoveryGeometry::For(1000, 4096, 100).Valid());
  // Large blocks make smaller groups: a group's parity stays bounded.
  const RecoveryGeometry large = RecoveryGeometry::For(100000, 16384, 100);
  ASSERT_TRUE(large.Valid());
  EXPECT_LE(uint64_t{large.ParityPerGroup} * 16384, kMaxGroupParityBytes);
  EXPECT_FALSE(RecoveryGeometry::For(1000, 4096, 0).Valid());
  EXPECT_FALSE(RecoveryGeometry::For(0, 4096, 5).Valid());
  RecoveryGeometry decoded;
  EXPECT_TRUE(DecodeRecoveryHead(EncodeRecoveryHead(five), decoded));
  EXPECT_EQ(decoded, five);
  RecoveryGeometry wide = five;
  wide.ParityPerGroup = 255 - wide.DataPerGroup + 1;
  EXPECT_FALSE(DecodeRecoveryHead(EncodeRecoveryHead(wide), decoded));
}

}  // namespace
}  // namespace kelmora::companion
