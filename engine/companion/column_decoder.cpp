// SPDX-License-Identifier: GPL-3.0-or-later
//
// Locating errors within one byte column of a group. A column of a group
// is a Reed-Solomon codeword with p check symbols, so besides e known
// erasures it can hold up to (p - e) / 2 errors at unknown places and
// still be put right: that is what repairs scattered bit flips when far
// more than p blocks of a group fail their checksums, each of them with a
// byte or two wrong.
//
// The syndromes are turned into the form S_j = sum of Y X^j, the erasures
// taken out (Forney's modified syndromes), the error locator found by
// Berlekamp-Massey and its roots by trying each position of the group.
// The values then come from solving H v = s over the positions found, with
// every equation checked, so an answer that fits only some of them is
// never taken.
#include <algorithm>

#include "engine/companion/recovery_code.h"

namespace kelmora::companion {

namespace {

// Polynomials over GF(2^8), lowest coefficient first.
using Poly = std::vector<uint8_t>;

uint8_t Evaluate(const Poly& P, uint8_t X) {
  uint8_t y = 0;
  for (size_t i = P.size(); i-- > 0;) y = gf::Mul(y, X) ^ P[i];
  return y;
}

Poly Multiply(const Poly& A, const Poly& B) {
  Poly c(A.size() + B.size() - 1, 0);
  for (size_t i = 0; i < A.size(); ++i)
    for (size_t j = 0; j < B.size(); ++j) c[i + j] ^= gf::Mul(A[i], B[j]);
  return c;
}

// The shortest recurrence that generates S; its length in Length.
Poly BerlekampMassey(const std::vector<uint8_t>& S, int& Length) {
  Poly c{1};
  Poly b{1};
  int l = 0;
  int m = 1;
  uint8_t last = 1;
  for (size_t n = 0; n < S.size(); ++n) {
    uint8_t d = S[n];
    for (int i = 1; i <= l && i < static_cast<int>(c.size()); ++i) d ^= gf::Mul(c[i], S[n - i]);
    if (d == 0) {
      ++m;
      continue;
    }
    const uint8_t factor = gf::Mul(d, gf::Inverse(last));
    Poly next = c;
    if (next.size() < b.size() + m) next.resize(b.size() + m, 0);
    for (size_t i = 0; i < b.size(); ++i) next[i + m] ^= gf::Mul(factor, b[i]);
    if (2 * l <= static_cast<int>(n)) {
      b = c;
      l = static_cast<int>(n) + 1 - l;
      last = d;
      m = 1;
    } else {
      ++m;
    }
    c = std::move(next);
  }
  while (c.size() > 1 && c.back() == 0) c.pop_back();
  Length = l;
  return c;
}

}  // namespace

bool GroupCode::SolveValues(const uint8_t* Syndrome, const std::vector<int>& Positions,
                            std::vector<uint8_t>& Values) const {
  const int m = static_cast<int>(Positions.size());
  // p equations in m unknowns, the syndrome on the right.
  std::vector<std::vector<uint8_t>> rows(p_, std::vector<uint8_t>(m + 1));
  for (int j = 0; j < p_; ++j) {
    for (int x = 0; x < m; ++x) rows[j][x] = Check(j, Positions[x]);
    rows[j][m] = Syndrome[j];
  }
  int rank = 0;
  for (int col = 0; col < m; ++col) {
    int pivot = rank;
    while (pivot < p_ && rows[pivot][col] == 0) ++pivot;
    if (pivot == p_) return false;
    std::swap(rows[pivot], rows[rank]);
    const uint8_t scale = gf::Inverse(rows[rank][col]);
    for (uint8_t& v : rows[rank]) v = gf::Mul(v, scale);
    for (int r = 0; r < p_; ++r) {
      const uint8_t f = rows[r][col];
      if (r == rank || f == 0) continue;
      for (int x = col; x <= m; ++x) rows[r][x] ^= gf::Mul(f, rows[rank][x]);
    }
    ++rank;
  }
  // The equations left over must hold too.
  for (int r = rank; r < p_; ++r)
    if (rows[r][m] != 0) return false;
  Values.resize(m);
  for (int x = 0; x < m; ++x) Values[x] = rows[x][m];
  return true;
}

bool GroupCode::DecodeColumn(const uint8_t* Syndrome, const std::vector<int>& Erased,
                             const std::vector<uint8_t>& Candidate,
                             std::vector<std::pair<int, uint8_t>>& Located) const {
  Located.clear();
  const int e = static_cast<int>(Erased.size());
  const int n = k_ + p_;
  if (e > p_) return false;
  std::vector<uint8_t> s(p_, 0);
  for (int j = 0; j < p_; ++j)
    for (int r = 0; r < p_; ++r)
      s[j] ^= gf::Mul(transform_[static_cast<size_t>(j) * p_ + r], Syndrome[r]);

  Poly erasures{1};
  for (int i : Erased) erasures = Multiply(erasures, Poly{1, locator_[i]});
  std::vector<uint8_t> modified(p_ - e, 0);
  for (int j = 0; j < p_ - e; ++j)
    for (int m = 0; m <= e; ++m) modified[j] ^= gf::Mul(erasures[m], s[e + j - m]);

  int errors = 0;
  const Poly locator = BerlekampMassey(modified, errors);
  if (2 * errors > p_ - e || static_cast<int>(locator.size()) != errors + 1) return false;
  const Poly all = Multiply(locator, erasures);

  // A block that passed its checksum holds no error, so the roots are
  // looked for among the erasures and candidates only: the locator has
  // errors + e roots at most, and finding them all there means there are
  // none anywhere else.
  std::vector<int> positions;
  for (int i = 0; i < n && static_cast<int>(positions.size()) <= errors + e; ++i) {
    if (!Candidate[i] && std::find(Erased.begin(), Erased.end(), i) == Erased.end()) continue;
    if (Evaluate(all, inverseLocator_[i]) == 0) positions.push_back(i);
  }
  if (static_cast<int>(positions.size()) != errors + e) return false;
  std::vector<uint8_t> values;
  if (!SolveValues(Syndrome, positions, values)) return false;
  for (size_t x = 0; x < positions.size(); ++x) {
    const bool erased = std::find(Erased.begin(), Erased.end(), positions[x]) != Erased.end();
    if (values[x] == 0 && !erased) return false;
    if (values[x] != 0) Located.emplace_back(positions[x], values[x]);
  }
  return true;
}

}  // namespace kelmora::companion
