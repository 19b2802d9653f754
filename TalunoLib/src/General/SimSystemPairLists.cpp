// Pair candidate lists with a skin (Verlet lists), shared by the SPH and
// contact passes: made by a counting sort of the particles into a dense grid
// of cells at least reach + skin wide, and kept from sub-step to sub-step
// until particles may have closed in by the skin.
#include "SimSystem.h"
#include "CandidateSort.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>

bool SimSystem::pairListsStale(PairLists const& pairs, double reach) const
{
  return pairs.reach != reach || pairs.generation != _arrayGeneration ||
         pairs.references() != _particlesArray.size();
}

double SimSystem::adaptedSkin(PairLists const& pairs, double reach, PairMoves const& moves)
{
  const double narrowest = pairSkin(reach), widest = pairs.widestSkinFraction * reach;
  if (!(widest > narrowest) || moves.unusable || pairs.age == 0)
    return narrowest;
  // Pairs close in by at most twice the fastest particle's move.
  const double perPass = std::sqrt(moves.farthest2) / double(pairs.age);
  return std::clamp(2.0 * perPass * double(pairSkinLife), narrowest, widest);
}

void SimSystem::updatePairLists(PairLists& pairs, double reach, bool stale, PairMoves const& moves)
{
  if (stale) {
    // Particles were added or reordered: the motion has not changed, and
    // neither does the skin (unless the reach did).
    makePairLists(pairs, reach, pairs.reach == reach ? pairs.skin : pairSkin(reach));
    return;
  }
  ++pairs.age;
  // The moves are measured from the stored references, each within
  // referenceError of the true place: a true move may be that much longer,
  // and the box of true moves that much wider on every side.
  if (!moves.keep(pairs.skin - 2.0 * std::sqrt(3.0) * pairs.referenceError)) {
    makePairLists(pairs, reach, adaptedSkin(pairs, reach, moves));
    return;
  }
  // A heap that has come to rest keeps its lists; once they have served a
  // while, narrow the skin it no longer needs, which costs every pass.
  if (pairs.age >= 4 * pairSkinLife && pairs.skin > pairSkin(reach)) {
    const double wanted = adaptedSkin(pairs, reach, moves);
    if (wanted < 0.75 * pairs.skin)
      makePairLists(pairs, reach, wanted);
  }
}

void SimSystem::makePairLists(PairLists& pairs, double reach, double skin)
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  // Until they are whole again the lists serve nobody (should an allocation
  // fail half way, the next pass makes them afresh).
  pairs.reach = -1.0;

  // A dense grid over the particles' bounding box, cells at least reach +
  // skin over `span` wide, so that the cells up to `span` away from a
  // particle's cell hold every candidate; wider
  // where the box is sparse, so that there are never many more cells than
  // particles (wider cells only add candidates).
  // Minima and maxima do not depend on the order they are taken in.
  const double inf = std::numeric_limits<double>::infinity();
  double lx = inf, ly = inf, lz = inf, hx = -inf, hy = -inf, hz = -inf;
#pragma omp parallel for schedule(static) reduction(min : lx, ly, lz) reduction(max : hx, hy, hz)
  for (int64_t i = 0; i < n; ++i) {
    Eigen::Vector3d const& x = _particlesArray[size_t(i)].position;
    if (!x.allFinite())
      continue; // NaN or infinite positions interact with nothing
    lx = std::min(lx, x.x());
    ly = std::min(ly, x.y());
    lz = std::min(lz, x.z());
    hx = std::max(hx, x.x());
    hy = std::max(hy, x.y());
    hz = std::max(hz, x.z());
  }
  const bool any = lx <= hx;
  const Eigen::Vector3d low = any ? Eigen::Vector3d(lx, ly, lz) : Eigen::Vector3d::Zero();
  const Eigen::Vector3d high = any ? Eigen::Vector3d(hx, hy, hz) : Eigen::Vector3d::Zero();
  const Eigen::Vector3d extent = high - low;

  // References in single precision from the box's low corner: rounding moves
  // each coordinate by at most 2^-24 of its offset (and the offset's own
  // rounding by far less), so a reference lies within `error` of the true
  // place; twice that bound keeps a margin. Candidates are taken out to
  // reach + skin + 2 error of the references, which holds every pair whose
  // true distance is within reach + skin. When the error would eat much of
  // the skin (particles flung far apart), the positions are kept whole.
  const double error = std::ldexp(extent.norm(), -23);
  const bool narrow = error <= skin / 16.0;
  pairs.origin = low;
  pairs.referenceError = narrow ? error : 0.0;
  std::vector<Eigen::Vector3f>& reference = pairs.reference;
  std::vector<Eigen::Vector3d>& wideReference = pairs.wideReference;
  if (narrow) {
    std::vector<Eigen::Vector3d>().swap(wideReference);
    reference.resize(size_t(n));
  } else {
    std::vector<Eigen::Vector3f>().swap(reference);
    wideReference.resize(size_t(n));
  }
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    Eigen::Vector3d const& x = _particlesArray[size_t(i)].position;
    if (narrow)
      reference[size_t(i)] = (x - low).cast<float>();
    else
      wideReference[size_t(i)] = x;
  }
  // A particle's reference in the frame the lists are made in: offsets from
  // the low corner, or whole positions.
  const Eigen::Vector3d frameOrigin = narrow ? Eigen::Vector3d::Zero() : low;
  auto at = [&](int64_t i) {
    return narrow ? Eigen::Vector3d(reference[size_t(i)].cast<double>()) : wideReference[size_t(i)];
  };
  const double outer = reach + skin + 2.0 * pairs.referenceError;
  const double outer2 = outer * outer;
  const double cellLimit = 2.0 * double(n) + 64.0;
  // Cells on each side of a particle's cell: with reach + skin past two
  // particle diameters, halved cells scan far fewer candidates; below, the
  // cells would be nearly empty and the rows' overhead would dominate.
  const int64_t span = outer > 4.0 * particleRadius ? 2 : 1;
  double edge = outer / double(span);
  auto cellsAcross = [&](double e, int axis) { return std::floor(extent[axis] / e) + 1.0; };
  while (cellsAcross(edge, 0) * cellsAcross(edge, 1) * cellsAcross(edge, 2) > cellLimit)
    edge *= 1.5;
  const int64_t nx = int64_t(cellsAcross(edge, 0)), ny = int64_t(cellsAcross(edge, 1)),
                nz = int64_t(cellsAcross(edge, 2));
  auto coordinate = [&](double v, double origin, int64_t count) {
    const double c = std::floor((v - origin) / edge);
    // NaN lands in 0, and infinities in the end cells (converting them
    // to an integer would be undefined).
    return c >= 0.0 ? (c < double(count) ? int64_t(c) : count - 1) : int64_t(0);
  };
  auto cellOf = [&](Eigen::Vector3d const& x, int64_t& cx, int64_t& cy, int64_t& cz) {
    cx = coordinate(x.x(), frameOrigin.x(), nx);
    cy = coordinate(x.y(), frameOrigin.y(), ny);
    cz = coordinate(x.z(), frameOrigin.z(), nz);
    return (cz * ny + cy) * nx + cx;
  };

  // Counting sort by cell, x fastest: the particles of a row of cells are
  // one run of the order, in index order.
  const size_t cells = size_t(nx * ny * nz);
  // Each particle's cell goes where its list length will: the old lists are
  // being replaced, and the lengths are written only after the sort.
  std::vector<uint32_t>& binOf = pairs.count;
  binOf.resize(size_t(n));
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    int64_t cx, cy, cz;
    binOf[size_t(i)] = uint32_t(cellOf(at(i), cx, cy, cz));
  }
  _pairBinEnd.assign(cells + 1, 0);
  for (int64_t i = 0; i < n; ++i)
    ++_pairBinEnd[binOf[size_t(i)] + 1];
  for (size_t c = 1; c <= cells; ++c)
    _pairBinEnd[c] += _pairBinEnd[c - 1];
  // Cell c's run is [_pairBinEnd[c], _pairBinEnd[c + 1]) once the scatter,
  // which advances each start to the next, is undone by shifting back.
  _pairBinOrder.resize(size_t(n));
  for (int64_t i = 0; i < n; ++i)
    _pairBinOrder[_pairBinEnd[binOf[size_t(i)]]++] = int32_t(i);
  for (size_t c = cells; c > 0; --c)
    _pairBinEnd[c] = _pairBinEnd[c - 1];
  _pairBinEnd[0] = 0;

  // Each thread lists a contiguous range of particles into blocks of its
  // own; every list is sorted, so they do not depend on the thread count.
  pairs.first.resize(size_t(n));
  pairs.count.resize(size_t(n));
#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), t = omp_get_thread_num();
#pragma omp single
    pairs.blocks.resize(size_t(threads));
    std::vector<PairLists::Block>& blocks = pairs.blocks[size_t(t)];
    size_t block = 0, used = 0;
    bool opened = false;
    std::vector<int32_t> found; // one particle's candidates, written without branching
    std::vector<uint64_t> marks; // scratch of sortCandidates
    std::vector<uint16_t> codes; // the sorted list, encoded
    const int64_t firstParticle = n * t / threads, lastParticle = n * (t + 1) / threads;
    for (int64_t i = firstParticle; i < lastParticle; ++i) {
      const Eigen::Vector3d x = at(i);
      int64_t cx, cy, cz;
      cellOf(x, cx, cy, cz);
      const int64_t x0 = std::max(cx - span, int64_t(0)), x1 = std::min(cx + span, nx - 1);
      size_t count = 0;
      for (int64_t z = std::max(cz - span, int64_t(0)); z <= std::min(cz + span, nz - 1); ++z)
        for (int64_t y = std::max(cy - span, int64_t(0)); y <= std::min(cy + span, ny - 1); ++y) {
          // The neighbouring cells of a row are one run.
          const int64_t row = (z * ny + y) * nx;
          const uint32_t begin = _pairBinEnd[size_t(row + x0)], end = _pairBinEnd[size_t(row + x1 + 1)];
          if (found.size() < count + (end - begin))
            found.resize(2 * (count + (end - begin)));
          for (uint32_t s = begin; s < end; ++s) {
            const int32_t j = _pairBinOrder[s];
            found[count] = j;
            count += (x - at(j)).squaredNorm() < outer2;
          }
        }
      sortCandidates(found.data(), count, marks);
      codes.clear();
      appendPairCodes(i, found.data(), count, codes);
      const size_t length = codes.size();
      // The list goes whole into the current block, or opens the next one
      // (kept from an earlier remake when there is one; grown for a list
      // longer than a block).
      if (!opened || used + length > blocks[block].capacity) {
        block += opened ? 1 : 0;
        opened = true;
        used = 0;
        if (block == blocks.size())
          blocks.emplace_back();
        PairLists::Block& open = blocks[block];
        if (open.capacity < length || open.capacity == 0) {
          open.capacity = std::max(PairLists::blockEntries, length);
          open.data.reset(new uint16_t[open.capacity]);
        }
      }
      uint16_t* out = blocks[block].data.get() + used;
      std::copy(codes.begin(), codes.end(), out);
      pairs.first[size_t(i)] = out;
      pairs.count[size_t(i)] = uint32_t(length);
      used += length;
    }
    // Blocks beyond those filled held longer lists of an earlier remake.
    blocks.resize(opened ? block + 1 : 0);
  }

  pairs.reach = reach;
  pairs.skin = skin;
  pairs.age = 0;
  pairs.generation = _arrayGeneration;
  ++pairs.remakes;
}
