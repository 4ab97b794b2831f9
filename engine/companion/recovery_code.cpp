// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/recovery_code.h"

#include <algorithm>

#include "engine/companion/container.h"
#include "engine/companion/sections.h"
#include "platform/assertions.h"

namespace kelmora::companion {

namespace {

uint64_t CeilDiv(uint64_t A, uint64_t B) {
  return A == 0 ? 0 : (A - 1) / B + 1;
}

uint32_t ParityFor(uint64_t Data, unsigned Percent) {
  return static_cast<uint32_t>(std::max<uint64_t>(1, CeilDiv(Data * Percent, 100)));
}

}  // namespace

RecoveryGeometry RecoveryGeometry::For(uint64_t DataBlocks, uint32_t BlockSize, unsigned Percent) {
  RecoveryGeometry g;
  if (DataBlocks == 0 || Percent == 0 || Percent > 100) return g;
  uint64_t largest = static_cast<uint64_t>(kMaxCodeLength) * 100 / (100 + Percent);
  while (largest > 1 &&
         (largest + ParityFor(largest, Percent) > static_cast<uint64_t>(kMaxCodeLength) ||
          ParityFor(largest, Percent) * BlockSize > kMaxGroupParityBytes))
    --largest;
  g.BlockSize = BlockSize;
  g.DataBlocks = DataBlocks;
  g.Groups = CeilDiv(DataBlocks, largest);
  // As many groups as the largest size needs, then as even as they go.
  g.DataPerGroup = static_cast<uint32_t>(CeilDiv(DataBlocks, g.Groups));
  g.ParityPerGroup = ParityFor(g.DataPerGroup, Percent);
  return g;
}

bool RecoveryGeometry::Valid() const {
  return IsBlockSize(BlockSize) && DataPerGroup >= 1 && ParityPerGroup >= 1 &&
         DataPerGroup + ParityPerGroup <= static_cast<uint32_t>(kMaxCodeLength) &&
         uint64_t{ParityPerGroup} * BlockSize <= kMaxGroupParityBytes && DataBlocks >= 1 &&
         DataBlocks <= (uint64_t{1} << 40) && Groups >= 1 && Groups <= DataBlocks &&
         Groups * DataPerGroup >= DataBlocks;
}

std::string EncodeRecoveryHead(const RecoveryGeometry& Geometry) {
  ByteWriter w;
  w.Int<uint32_t>(Geometry.BlockSize);
  w.Int<uint32_t>(Geometry.DataPerGroup);
  w.Int<uint32_t>(Geometry.ParityPerGroup);
  w.Int<uint32_t>(0);
  w.Int<uint64_t>(Geometry.Groups);
  w.Int<uint64_t>(Geometry.DataBlocks);
  return w.Text();
}

bool DecodeRecoveryHead(const std::string& Head, RecoveryGeometry& Geometry) {
  ByteReader r(Head);
  Geometry = RecoveryGeometry();
  r.Int(Geometry.BlockSize);
  r.Int(Geometry.DataPerGroup);
  r.Int(Geometry.ParityPerGroup);
  r.Skip(4);
  r.Int(Geometry.Groups);
  r.Int(Geometry.DataBlocks);
  return !r.Failed() && Geometry.Valid();
}

GroupCode::GroupCode(int DataCount, int ParityCount)
    : k_(DataCount),
      p_(ParityCount),
      matrix_(static_cast<size_t>(DataCount + ParityCount) * DataCount) {
  KELMORA_ASSERT(k_ >= 1 && p_ >= 1 && k_ + p_ <= kMaxCodeLength);
  gf::CauchyMatrix(matrix_.data(), k_ + p_, k_);
  encoder_ = MatrixCoder(p_, k_, matrix_.data() + static_cast<size_t>(k_) * k_);

  const int n = k_ + p_;
  locator_.resize(n);
  inverseLocator_.resize(n);
  for (int i = 0; i < n; ++i) {
    locator_[i] = static_cast<uint8_t>(i ^ 0xFF);
    inverseLocator_[i] = gf::Inverse(locator_[i]);
  }
  // Parity row r sits at x_r = k + r among the matrix's points. With
  // u_r = 1 / prod over s != r of (x_r + x_s), the matrix
  // T[j][r] = X_(k+r)^j u_r gives T H = (w_i X_i^j) for every position i:
  // the partial fractions of (z + 255)^j / prod (z + x_s) show it for the
  // data columns 1 / (x_r + c), and the identity columns give it at once.
  transform_.resize(static_cast<size_t>(p_) * p_);
  for (int r = 0; r < p_; ++r) {
    uint8_t product = 1;
    for (int s = 0; s < p_; ++s)
      if (s != r) product = gf::Mul(product, static_cast<uint8_t>((k_ + r) ^ (k_ + s)));
    const uint8_t u = gf::Inverse(product);
    for (int j = 0; j < p_; ++j)
      transform_[static_cast<size_t>(j) * p_ + r] = gf::Mul(gf::Power(locator_[k_ + r], j), u);
  }
}

uint8_t GroupCode::Check(int Row, int Position) const {
  if (Position < k_) return matrix_[static_cast<size_t>(k_ + Row) * k_ + Position];
  return Position - k_ == Row ? 1 : 0;
}

bool GroupCode::SolveErasures(const std::vector<int>& Data, const std::vector<int>& Parity,
                              size_t Length, const uint8_t* const* Syndromes,
                              uint8_t* const* Out) const {
  const int d = static_cast<int>(Data.size());
  if (d == 0) return true;
  // The rows of parity that is itself unknown say nothing of the data.
  std::vector<int> rows;
  for (int j = 0; j < p_ && static_cast<int>(rows.size()) < d; ++j)
    if (std::find(Parity.begin(), Parity.end(), k_ + j) == Parity.end()) rows.push_back(j);
  if (static_cast<int>(rows.size()) < d) return false;
  // Any square part of a Cauchy matrix can be inverted.
  std::vector<uint8_t> a(static_cast<size_t>(d) * d);
  for (int x = 0; x < d; ++x)
    for (int y = 0; y < d; ++y) a[static_cast<size_t>(x) * d + y] = Check(rows[x], Data[y]);
  std::vector<uint8_t> inverse(a.size());
  if (!gf::InvertMatrix(a.data(), inverse.data(), d)) return false;
  std::vector<const uint8_t*> sources(d);
  for (int x = 0; x < d; ++x) sources[x] = Syndromes[rows[x]];
  MatrixCoder(d, d, inverse.data()).Encode(Length, sources.data(), Out);
  return true;
}

}  // namespace kelmora::companion
