#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measures/triplets/by_position.hpp"
#include "measures/triplets/exhaustive_by_position.hpp"
#include "reference/sample_indices.hpp"
#include "runtime/random.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

using namespace cladorix;
using cladorix::reference::sample_indices;

namespace {

Tree parse(const std::string& s) { return from_newick(s); }

// ---------------------------------------------------------------------------
// References written from the definitions: a literal table of pair depths
// over the first n leaves (n = named leaves) from parent walks, every
// triplet i < j < k, and the chunked streams drawn with sample_indices.
struct PairTable {
  uint32_t n = 0;
  std::vector<std::vector<uint64_t>> depth;
  explicit PairTable(const Tree& t) {
    const std::vector<NodeId> leaves = t.leaves();
    for (NodeId v : leaves) n += t.has_name(v) ? 1 : 0;
    depth.assign(n, std::vector<uint64_t>(n));
    for (uint32_t p = 0; p < n; ++p)
      for (uint32_t q = 0; q < n; ++q)
        depth[p][q] = testgen::naive_depth(t, testgen::naive_lca(t, leaves[p], leaves[q]));
  }
  int64_t outgroup(uint64_t i, uint64_t j, uint64_t k) const {
    const uint64_t a = depth[i][j], b = depth[i][k], c = depth[j][k];
    if (a > b && a > c) return static_cast<int64_t>(k);
    if (b > a && b > c) return static_cast<int64_t>(j);
    if (c > a && c > b) return static_cast<int64_t>(i);
    return -1;
  }
};

void tally(TripletCounters& c, int64_t o1, int64_t o2) {
  if (o1 < 0) {
    ++c.unresolved_count;
    if (o2 < 0) ++c.correct_count, ++c.unresolved_correct_count;
  } else if (o1 == o2) {
    ++c.correct_count, ++c.resolvable_correct_count;
  }
}

TripletCounters brute_force(const PairTable& m1, const PairTable& m2) {
  TripletCounters c;
  for (uint64_t i = 0; i < m1.n; ++i)
    for (uint64_t j = i + 1; j < m1.n; ++j)
      for (uint64_t k = j + 1; k < m1.n; ++k) tally(c, m1.outgroup(i, j, k), m2.outgroup(i, j, k));
  return c;
}

TripletCounters draw(const PairTable& m1, const PairTable& m2, RandomSource& rng, uint64_t trials) {
  TripletCounters c;
  for (uint64_t t = 0; t < trials; ++t) {
    const std::vector<uint64_t> p = sample_indices(rng, m1.n, 3);
    tally(c, m1.outgroup(p[0], p[1], p[2]), m2.outgroup(p[0], p[1], p[2]));
  }
  return c;
}

// One chunk: one stream from the seed. Otherwise `chunks` streams seeded in
// order from the master; chunk c draws one more triplet than the others
// while c < trials mod chunks.
TripletCounters chunked_draws(const PairTable& m1, const PairTable& m2, uint64_t trials,
                              uint64_t chunks, uint64_t seed) {
  RandomSource master = RandomSource::from_seed_u64(seed);
  if (chunks == 1) return draw(m1, m2, master, trials);
  std::vector<uint64_t> seeds;
  for (uint64_t c = 0; c < chunks; ++c) seeds.push_back(master.next_u64());
  TripletCounters total;
  for (uint64_t c = 0; c < chunks; ++c) {
    RandomSource rng = RandomSource::from_seed_u64(seeds[c]);
    total += draw(m1, m2, rng, trials / chunks + (c < trials % chunks ? 1 : 0));
  }
  return total;
}

// The counting as it stood before: every (left run, right run) pair.
TripletCounters pairwise_runs(const LeafLca& lca1, const LeafLca& lca2, uint32_t n) {
  struct Run {
    uint32_t d1, d2;
    uint64_t count;
  };
  auto push = [](std::vector<Run>& runs, uint32_t d1, uint32_t d2) {
    if (!runs.empty() && runs.back().d1 == d1 && runs.back().d2 == d2)
      ++runs.back().count;
    else
      runs.push_back(Run{d1, d2, 1});
  };
  TripletCounters c;
  if (n < 3) return c;
  const auto& adj1 = lca1.adjacent_depths();
  const auto& adj2 = lca2.adjacent_depths();
  std::vector<Run> left, right;
  for (uint32_t j = 1; j + 1 < n; ++j) {
    left.clear();
    right.clear();
    uint32_t m1 = UINT32_MAX, m2 = UINT32_MAX;
    for (uint32_t i = j; i-- > 0;) {
      m1 = std::min(m1, adj1[i]);
      m2 = std::min(m2, adj2[i]);
      push(left, m1, m2);
    }
    m1 = m2 = UINT32_MAX;
    for (uint32_t k = j + 1; k < n; ++k) {
      m1 = std::min(m1, adj1[k - 1]);
      m2 = std::min(m2, adj2[k - 1]);
      push(right, m1, m2);
    }
    for (const Run& l : left)
      for (const Run& r : right) {
        const uint64_t w = l.count * r.count;
        if (l.d1 == r.d1) {
          c.unresolved_count += w;
          if (l.d2 == r.d2) c.unresolved_correct_count += w, c.correct_count += w;
        } else if ((l.d1 > r.d1) == (l.d2 > r.d2) && l.d2 != r.d2) {
          c.resolvable_correct_count += w, c.correct_count += w;
        }
      }
  }
  return c;
}

bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_identical(const TripletResult& a, const TripletResult& b) {
  EXPECT_EQ(a.counters, b.counters);
  EXPECT_TRUE(same_double(a.all_triplets_correct, b.all_triplets_correct));
  EXPECT_TRUE(same_double(a.resolvable_triplets_correct, b.resolvable_triplets_correct));
  EXPECT_TRUE(same_double(a.unresolved_triplets_correct, b.unresolved_triplets_correct));
  EXPECT_TRUE(same_double(a.proportion_unresolvable, b.proportion_unresolvable));
  EXPECT_EQ(a.total_triplets_checked, b.total_triplets_checked);
}

struct Expected {
  const char* method;
  uint64_t total, chunks;
};

void expect_plan(const TripletResult& s, Expected e) {
  EXPECT_STREQ(s.method_used, e.method);
  EXPECT_EQ(s.total_triplets_checked, e.total);
  EXPECT_EQ(s.parallel_chunks_used, e.chunks);
}

const PositionVariant& P = kParallelVariant;
const PositionVariant& O = kOptimizedVariant;

}  // namespace

// --------------------------------------------------------------- decisions

TEST(PooledPlan, ParallelVariantWorkedExamples) {
  // n = 25 is never sampled; 2300 triplets stay on the calling thread.
  TripletPlan p = plan_triplets_by_position(P, 25, 10, 16);
  EXPECT_FALSE(p.sampling);
  EXPECT_EQ(p.total_triplets_checked, 2300u);
  EXPECT_EQ(p.parallel_chunks_used, 1u);
  // n = 100 (161700 triplets), 10000 trials: 1 worker samples on one stream,
  // 2 workers (threshold 141421) on two, 4 (threshold 200000) count.
  p = plan_triplets_by_position(P, 100, 10000, 1);
  EXPECT_TRUE(p.sampling);
  EXPECT_EQ(p.chunks, 1u);
  p = plan_triplets_by_position(P, 100, 10000, 2);
  EXPECT_TRUE(p.sampling);
  EXPECT_EQ(p.chunks, 2u);
  EXPECT_EQ(p.trials_per_chunk, 5000u);
  EXPECT_EQ(p.extra_trials, 0u);
  EXPECT_EQ(p.parallel_chunks_used, 2u);
  p = plan_triplets_by_position(P, 100, 10000, 4);
  EXPECT_FALSE(p.sampling);
  EXPECT_EQ(p.total_triplets_checked, 161700u);
  EXPECT_EQ(p.chunks, 4u);
  EXPECT_EQ(p.piece_size, 20212u);
  EXPECT_EQ(p.pieces, 9u);
  EXPECT_EQ(p.parallel_chunks_used, 4u);
  // Fewer than 5000 trials never leave the calling thread.
  p = plan_triplets_by_position(P, 100, 4999, 2);
  EXPECT_TRUE(p.sampling);
  EXPECT_EQ(p.chunks, 1u);
  // Zero trials on a large tree: sampling that draws nothing.
  p = plan_triplets_by_position(P, 500, 0, 8);
  EXPECT_TRUE(p.sampling);
  EXPECT_EQ(p.total_triplets_checked, 0u);
  EXPECT_EQ(p.parallel_chunks_used, 1u);
  // At least as many trials as triplets: counted, whatever n.
  p = plan_triplets_by_position(P, 500, triplet_count(500), 1);
  EXPECT_FALSE(p.sampling);
  EXPECT_EQ(p.total_triplets_checked, 20708500u);
  for (uint64_t n : {0u, 1u, 2u}) {
    p = plan_triplets_by_position(P, n, 1000, 4);
    EXPECT_FALSE(p.sampling);
    EXPECT_EQ(p.total_triplets_checked, 0u);
    EXPECT_EQ(p.parallel_chunks_used, 1u);
  }
}

TEST(PooledPlan, OptimizedVariantWorkedExamples) {
  TripletPlan p = plan_triplets_by_position(O, 100, 10000, 1);
  EXPECT_TRUE(p.sampling);  // 161700 > 150000
  EXPECT_EQ(p.parallel_chunks_used, 1u);
  p = plan_triplets_by_position(O, 100, 10000, 2);
  EXPECT_FALSE(p.sampling);  // threshold 212132
  EXPECT_EQ(p.chunks, 2u);
  EXPECT_EQ(p.piece_size, 40425u);
  EXPECT_EQ(p.pieces, 4u);
  EXPECT_EQ(p.parallel_chunks_used, 2u);
  // n = 200 (1313400 triplets), 8 workers.
  p = plan_triplets_by_position(O, 200, 10000, 8);
  EXPECT_TRUE(p.sampling);
  EXPECT_EQ(p.chunks, 1u);  // 10000 / 12000 = 0
  p = plan_triplets_by_position(O, 200, 50000, 8);
  EXPECT_EQ(p.chunks, 6u);
  EXPECT_EQ(p.trials_per_chunk, 8333u);
  EXPECT_EQ(p.extra_trials, 2u);
  EXPECT_EQ(p.parallel_chunks_used, 6u);
  // 8000 trials is the first that may use the pool, 8000 triplets likewise.
  EXPECT_EQ(plan_triplets_by_position(O, 200, 7999, 8).chunks, 1u);
  EXPECT_EQ(plan_triplets_by_position(O, 200, 8000, 64).chunks, 1u);     // sqrt(0 x 2)
  EXPECT_EQ(plan_triplets_by_position(O, 200, 12000, 64).chunks, 1u);    // sqrt(1 x 3) = 1.7
  EXPECT_EQ(plan_triplets_by_position(O, 200, 16000, 64).chunks, 2u);    // sqrt(1 x 4)
  EXPECT_EQ(plan_triplets_by_position(O, 37, 1u << 20, 64).chunks, 1u);  // 7770 triplets
  p = plan_triplets_by_position(O, 38, 1u << 20, 64);                    // 8436 triplets
  EXPECT_FALSE(p.sampling);
  EXPECT_EQ(p.chunks, 1u);  // sqrt(0 x 2) = 0, raised to 1
  // Many chunks: the reported count is the chunk count, pieces aside.
  p = plan_triplets_by_position(O, 2000, UINT64_MAX, 40);
  EXPECT_EQ(p.chunks, 40u);
  EXPECT_EQ(p.piece_size, triplet_count(2000) / 40 / 4);
  EXPECT_EQ(p.parallel_chunks_used, 40u);
}

TEST(PooledPlan, ThresholdsAndPieceDivisors) {
  // Sampling needs T above trunc(sqrt(cap) x factor): C(96,3) = 142880.
  EXPECT_TRUE(plan_triplets_by_position(P, 96, 100, 2).sampling);    // > 141421
  EXPECT_FALSE(plan_triplets_by_position(P, 95, 100, 2).sampling);   // 138415
  EXPECT_FALSE(plan_triplets_by_position(O, 100, 100, 2).sampling);  // 161700 <= 212132
  EXPECT_TRUE(plan_triplets_by_position(O, 110, 100, 2).sampling);   // 215820
  EXPECT_TRUE(plan_triplets_by_position(O, 109, 100, 1).sampling);   // 209934 > 150000
  EXPECT_FALSE(plan_triplets_by_position(O, 137, 100, 8).sampling);  // 419220 <= 424264
  EXPECT_TRUE(plan_triplets_by_position(O, 138, 100, 8).sampling);   // 428536
  // n >= 26 holds for sampling even with a cap of 0 (threshold 0).
  EXPECT_FALSE(plan_triplets_by_position(P, 25, 10, 0).sampling);
  EXPECT_TRUE(plan_triplets_by_position(P, 26, 10, 0).sampling);
  // Divisors by chunk count, seen in the piece sizes of a large count.
  const uint64_t t = triplet_count(3000);
  const std::pair<uint64_t, uint64_t> parallel[] = {{3, 1},  {4, 2},  {15, 2},
                                                    {16, 3}, {49, 3}, {50, 4}};
  for (auto [chunks, divisor] : parallel) {
    const TripletPlan p = plan_triplets_by_position(P, 3000, UINT64_MAX, chunks);
    ASSERT_EQ(p.chunks, chunks);
    EXPECT_EQ(p.piece_size, t / chunks / divisor) << chunks;
    EXPECT_EQ(p.pieces, (t + p.piece_size - 1) / p.piece_size);
    EXPECT_EQ(p.parallel_chunks_used, chunks);
  }
  const std::pair<uint64_t, uint64_t> optimized[] = {{7, 2}, {8, 3}, {31, 3}, {32, 4}};
  for (auto [chunks, divisor] : optimized) {
    const TripletPlan p = plan_triplets_by_position(O, 3000, UINT64_MAX, chunks);
    ASSERT_EQ(p.chunks, chunks);
    EXPECT_EQ(p.piece_size, t / chunks / divisor) << chunks;
  }
}

TEST(PooledPlan, CapZeroFailsOnlyOnParallelPaths) {
  // Parallel variant: sampling with 5000 trials or more, counting from 10000
  // triplets; below those the cap has no effect.
  EXPECT_EQ(plan_triplets_by_position(P, 100, 4999, 0).chunks, 1u);
  EXPECT_THROW(plan_triplets_by_position(P, 100, 5000, 0), InternalError);
  EXPECT_EQ(plan_triplets_by_position(P, 25, 10, 0).chunks, 1u);           // counting 2300
  EXPECT_THROW(plan_triplets_by_position(P, 40, 5000, 0), InternalError);  // sampling 9880
  const TripletPlan below = plan_triplets_by_position(P, 40, 10000, 0);    // counting 9880
  EXPECT_FALSE(below.sampling);
  EXPECT_EQ(below.chunks, 1u);
  EXPECT_THROW(plan_triplets_by_position(P, 41, 10660, 0), InternalError);  // counting 10660
  try {
    plan_triplets_by_position(P, 41, 10660, 0);
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "attempt to divide by zero");
  }
  // Optimized variant: 8000 trials, 8000 triplets.
  EXPECT_EQ(plan_triplets_by_position(O, 100, 7999, 0).chunks, 1u);
  EXPECT_THROW(plan_triplets_by_position(O, 100, 8000, 0), InternalError);
  EXPECT_EQ(plan_triplets_by_position(O, 37, 7770, 0).chunks, 1u);
  EXPECT_THROW(plan_triplets_by_position(O, 38, 8436, 0), InternalError);
  // Through the whole measure, before any stream is created: no seed given,
  // so reaching the entropy source would not fail this way.
  Tree t = parse(testgen::caterpillar(100));
  EXPECT_THROW(triplets_by_position(kParallelVariant, t, t, 5000, std::nullopt, 0, 4),
               InternalError);
  EXPECT_THROW(triplets_by_position(kOptimizedVariant, t, t, 8000, std::nullopt, 0, 4),
               InternalError);
  expect_plan(triplets_by_position(kParallelVariant, t, t, 4999, 3, 0, 4),
              {"parallel_sampling", 4999, 1});
  expect_plan(triplets_by_position(kOptimizedVariant, t, t, 7999, 3, 0, 4),
              {"optimized_sampling", 7999, 1});
}

// ------------------------------------------------- whole calls, by workers

TEST(PooledTriplets, WorkedExamplesThroughTheWholeCall) {
  std::mt19937_64 gen(11);
  Tree a = parse(testgen::random_newick(testgen::labels(100), gen));
  Tree b = parse(testgen::random_newick(testgen::labels(100), gen));
  expect_plan(triplets_by_position(kParallelVariant, a, b, 10000, 5, std::nullopt, 1),
              {"parallel_sampling", 10000, 1});
  expect_plan(triplets_by_position(kParallelVariant, a, b, 10000, 5, std::nullopt, 2),
              {"parallel_sampling", 10000, 2});
  expect_plan(triplets_by_position(kParallelVariant, a, b, 10000, 5, std::nullopt, 4),
              {"parallel_exhaustive", 161700, 4});
  expect_plan(triplets_by_position(kOptimizedVariant, a, b, 10000, 5, std::nullopt, 1),
              {"optimized_sampling", 10000, 1});
  expect_plan(triplets_by_position(kOptimizedVariant, a, b, 10000, 5, std::nullopt, 2),
              {"optimized_exhaustive", 161700, 2});
  // max_threads caps the worker count; above it, it acts like it.
  expect_plan(triplets_by_position(kParallelVariant, a, b, 10000, 5, 1, 4),
              {"parallel_sampling", 10000, 1});
  expect_plan(triplets_by_position(kParallelVariant, a, b, 10000, 5, 64, 2),
              {"parallel_sampling", 10000, 2});

  Tree c = parse(testgen::random_newick(testgen::labels(200), gen));
  Tree d = parse(testgen::random_newick(testgen::labels(200), gen));
  expect_plan(triplets_by_position(kOptimizedVariant, c, d, 10000, 5, std::nullopt, 8),
              {"optimized_sampling", 10000, 1});
  expect_plan(triplets_by_position(kOptimizedVariant, c, d, 50000, 5, std::nullopt, 8),
              {"optimized_sampling", 50000, 6});

  // Tiny trees: no triplet, NaN where 0/0, one chunk.
  Tree two = parse("(a,b);");
  const TripletResult s = triplets_by_position(kOptimizedVariant, two, two, 10, std::nullopt, 0, 4);
  expect_plan(s, {"optimized_exhaustive", 0, 1});
  EXPECT_TRUE(std::isnan(s.all_triplets_correct));
  EXPECT_TRUE(std::isnan(s.proportion_unresolvable));
  EXPECT_EQ(s.resolvable_triplets_correct, 1.0);
  EXPECT_EQ(s.unresolved_triplets_correct, 1.0);
}

TEST(PooledTriplets, Failures) {
  Tree five = parse("((a,b),(c,(d,e)));"), six = parse("((a,b),(c,(d,(e,f))));");
  for (const PositionVariant* v : {&kParallelVariant, &kOptimizedVariant}) {
    try {
      triplets_by_position(*v, five, six, 10, 1, std::nullopt, std::nullopt);
      ADD_FAILURE() << "no failure";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "Trees must have the same number of taxa");
    }
    // An unclosed "(" fails where the tables are built, in either tree.
    Tree broken = parse("((a,b),(c,(d,e));");
    EXPECT_THROW(triplets_by_position(*v, broken, five, 10, 1, std::nullopt, 2), InternalError);
    EXPECT_THROW(triplets_by_position(*v, five, broken, 10, 1, std::nullopt, 2), InternalError);
  }
  // Outgroups by position, in any order of the three: the index of the one out.
  const LeafLca lca(five);
  const uint32_t p012[3] = {0, 1, 2}, p234[3] = {2, 3, 4}, p430[3] = {4, 3, 0};
  EXPECT_EQ(outgroup_at(lca, p012), 2);
  EXPECT_EQ(outgroup_at(lca, p234), 0);
  EXPECT_EQ(outgroup_at(lca, p430), 2);
}

// Seeded sampling follows the chunked streams exactly, for every chunk
// count, and the two variants agree whenever their chunk counts do.
TEST(PooledTriplets, SamplingEqualsChunkedStreams) {
  std::mt19937_64 gen(31);
  const testgen::Shape shapes[] = {{2, 0.0}, {5, 0.1}, {3, 0.3}};
  for (int round = 0; round < 6; ++round) {
    // At least 130 leaves: above the optimized variant's threshold for cap 4.
    const uint32_t n = 130 + static_cast<uint32_t>(gen() % 100);
    std::vector<std::string> labels = testgen::labels(n);
    if (round % 3 == 2) labels[gen() % n].clear();  // one unnamed leaf: n - 1 positions
    Tree t1 = parse(testgen::random_newick(labels, gen, shapes[round % 3]));
    Tree t2 = parse(testgen::random_newick(labels, gen, shapes[(round + 1) % 3]));
    const PairTable m1(t1), m2(t2);
    const uint64_t seed = gen();
    for (uint64_t trials : {9001u, 20011u}) {
      SCOPED_TRACE(std::to_string(n) + " leaves, " + std::to_string(trials) + " trials");
      // One stream on the calling thread.
      RandomSource rng = RandomSource::from_seed_u64(seed);
      const TripletCounters one = draw(m1, m2, rng, trials);
      const TripletResult p1 = triplets_by_position(kParallelVariant, t1, t2, trials, seed, 1, 16);
      ASSERT_EQ(p1.parallel_chunks_used, 1u);
      EXPECT_EQ(p1.counters, one);
      EXPECT_EQ(triplets_by_position(kOptimizedVariant, t1, t2, trials, seed, 1, 16).counters, one);
      // Chunked: parallel up to sqrt((T/8000)(T/2000)), optimized up to
      // sqrt((T/12000)(T/4000)).
      for (uint64_t cap : {2u, 3u, 4u}) {
        const TripletResult p =
            triplets_by_position(kParallelVariant, t1, t2, trials, seed, cap, 16);
        const TripletResult o =
            triplets_by_position(kOptimizedVariant, t1, t2, trials, seed, cap, 16);
        EXPECT_STREQ(p.method_used, "parallel_sampling");
        EXPECT_STREQ(o.method_used, "optimized_sampling");
        EXPECT_EQ(p.counters, chunked_draws(m1, m2, trials, p.parallel_chunks_used, seed));
        EXPECT_EQ(o.counters, chunked_draws(m1, m2, trials, o.parallel_chunks_used, seed));
        if (p.parallel_chunks_used == o.parallel_chunks_used) expect_identical(p, o);
      }
    }
  }
}

// The same chunk count gives the same dictionary whatever the pool's size:
// the injected worker count only moves the cap.
TEST(PooledTriplets, PinnedChunksGiveIdenticalResults) {
  std::mt19937_64 gen(41);
  Tree t1 = parse(testgen::random_newick(testgen::labels(300), gen));
  Tree t2 = parse(testgen::random_newick(testgen::labels(300), gen, {3, 0.0}));
  const TripletResult base = triplets_by_position(kParallelVariant, t1, t2, 40000, 9, 3, 3);
  ASSERT_EQ(base.parallel_chunks_used, 3u);
  for (uint64_t workers : {3u, 4u, 8u, 64u}) {
    const TripletResult s = triplets_by_position(kParallelVariant, t1, t2, 40000, 9, 3, workers);
    expect_identical(s, base);
    EXPECT_EQ(s.parallel_chunks_used, 3u);
  }
  EXPECT_NE(triplets_by_position(kParallelVariant, t1, t2, 40000, 9, 4, 8).counters, base.counters);
}

// ------------------------------------------------------- exhaustive counts

TEST(ExhaustiveCounts, MatchBruteForceOnAwkwardShapes) {
  std::mt19937_64 gen(51);
  std::vector<std::pair<std::string, std::string>> cases = {
      {testgen::caterpillar(40), testgen::mirror_caterpillar(40)},
      {testgen::mirror_caterpillar(33), testgen::mirror_caterpillar(33)},
      {testgen::caterpillar(3), "(t0,t1,t2);"},
      {"(a,b,c,d,e,f,g,h);", "((a,b),(c,d),(e,f),(g,h));"},
      {"((a,,b),(,c,d),e);", "(((a,b),c),(d,e),,);"},  // unnamed leaves
      {"((((a)),b),(c,(d,(e))));", "(a,(b,(c,(d,e))));"},
      {"(a,b,c);", "(a,b,c);"},
      {"(a,b);", "(a,b);"},
      {";", ";"},
  };
  for (int i = 0; i < 40; ++i) {
    const uint32_t n = 3 + static_cast<uint32_t>(gen() % 70);
    const testgen::Shape shape{static_cast<uint32_t>(2 + i % 5), i % 4 == 0 ? 0.25 : 0.0,
                               i % 2 == 0};
    std::vector<std::string> labels = testgen::labels(n);
    if (i % 3 == 0)
      for (auto& s : labels)
        if (gen() % 6 == 0) s.clear();
    cases.emplace_back(testgen::random_newick(labels, gen, shape),
                       testgen::random_newick(labels, gen, shape));
  }
  for (const auto& [s1, s2] : cases) {
    SCOPED_TRACE(s1 + " | " + s2);
    Tree t1 = parse(s1), t2 = parse(s2);
    const PairTable m1(t1), m2(t2);
    if (m1.n != m2.n) continue;  // unnamed leaves fell differently
    const LeafLca l1(t1), l2(t2);
    const TripletCounters want = brute_force(m1, m2);
    EXPECT_EQ(exhaustive_triplet_counts(l1, l2, m1.n), want);
    EXPECT_EQ(pairwise_runs(l1, l2, m1.n), want);
    // Every split of the middle leaves adds up to the same counters.
    const ExhaustiveTripletCounter counter(l1, l2, m1.n);
    for (uint64_t pieces : {1u, 2u, 3u, 7u, 1000u}) {
      const std::vector<uint32_t> b = counter.split(pieces);
      ASSERT_FALSE(b.empty());
      EXPECT_EQ(b.front(), counter.middle_begin());
      EXPECT_EQ(b.back(), std::max(counter.middle_begin(), counter.middle_end()));
      EXPECT_LE(b.size() - 1, pieces);
      TripletCounters sum;
      for (size_t p = 0; p + 1 < b.size(); ++p) {
        EXPECT_LT(b[p], b[p + 1]);
        sum += counter.count(b[p], b[p + 1]);
      }
      EXPECT_EQ(sum, want);
    }
    // Both variants' counting paths, sequential and in chunks, report them.
    for (uint64_t cap : {1u, 4u}) {
      const TripletResult s =
          triplets_by_position(kParallelVariant, t1, t2, UINT64_MAX, std::nullopt, cap, 8);
      EXPECT_EQ(s.counters, want);
      EXPECT_EQ(s.total_triplets_checked, triplet_count(m1.n));
    }
  }
}

// Larger trees, beyond brute force: the two-pointer sweep against the
// pairwise one, and the pooled counting path (work large enough to be
// handed to the workers) against the sequential count.
TEST(ExhaustiveCounts, LargerTreesAndThePool) {
  std::mt19937_64 gen(61);
  struct Case {
    std::string s1, s2;
  };
  std::vector<Case> cases = {
      {testgen::deep_caterpillar(1500), testgen::mirror_caterpillar(1500)},
      {testgen::deep_caterpillar(1200), testgen::deep_caterpillar(1200)},
      {testgen::random_newick(testgen::labels(1500), gen, {2, 0.0, true}),
       testgen::random_newick(testgen::labels(1500), gen, {4, 0.1, true})},
      {testgen::random_newick(testgen::labels(900), gen, {7, 0.0}), testgen::deep_caterpillar(900)},
  };
  for (const Case& c : cases) {
    Tree t1 = parse(c.s1), t2 = parse(c.s2);
    const LeafLca l1(t1), l2(t2);
    const uint32_t n = l1.leaf_count();
    const TripletCounters want = pairwise_runs(l1, l2, n);
    EXPECT_EQ(exhaustive_triplet_counts(l1, l2, n), want);
    const uint64_t t = triplet_count(n);
    for (uint64_t cap : {1u, 2u, 7u, 60u}) {
      const TripletResult p = triplets_by_position(kParallelVariant, t1, t2, t, 1, cap, 64);
      const TripletResult o = triplets_by_position(kOptimizedVariant, t1, t2, t, 1, cap, 64);
      EXPECT_EQ(p.counters, want) << cap;
      EXPECT_EQ(o.counters, want) << cap;
      EXPECT_EQ(p.parallel_chunks_used, cap);
      EXPECT_EQ(o.parallel_chunks_used, cap);
      expect_identical(p, o);
    }
  }
}

TEST(ExhaustiveCounts, IdenticalTreesAgreeEverywhere) {
  std::mt19937_64 gen(71);
  for (uint32_t n : {3u, 26u, 300u}) {
    Tree t = parse(testgen::random_newick(testgen::labels(n), gen));
    const TripletResult s = triplets_by_position(kOptimizedVariant, t, t, UINT64_MAX, 1, 2, 2);
    EXPECT_EQ(s.all_triplets_correct, 1.0);
    EXPECT_EQ(s.resolvable_triplets_correct, 1.0);
    EXPECT_EQ(s.unresolved_triplets_correct, 1.0);
    EXPECT_EQ(s.proportion_unresolvable, 0.0);
  }
}
