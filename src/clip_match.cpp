#include "clip_match.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <atomic>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define CLIP_MATCH_X86 1
#else
#define CLIP_MATCH_X86 0
#endif


// The matcher answers what a byte-by-byte folded comparison at every start
// position would answer, followed by a substring search for the first exact
// occurrence, without the cost of either. A scan looks for up to three of the
// query's rarest bytes at their distances (both cases of each when folding),
// 32 or 16 text bytes at a time, and compares the whole query only where all
// of them are in place. When those comparisons run deep and cost more than
// the text they cover (a text and query that share a period, such as "abab..."
// against "ABAB...ba"), the scan hands the rest of the text to a two-way
// search, which is linear in the worst case and needs no memory of its own.

namespace {

constexpr size_t kNone = SIZE_MAX;
constexpr size_t kMore = SIZE_MAX - 1;  // a batch of candidates decided nothing

// Only A-Z fold; bytes from 0x80 up never do.
inline unsigned char fold(unsigned char c) {
  return static_cast<unsigned char>(c - 'A') < 26u ? static_cast<unsigned char>(c + 0x20) : c;
}

inline unsigned char other_case(unsigned char c) {
  if (static_cast<unsigned char>(c - 'a') < 26u) return static_cast<unsigned char>(c - 0x20);
  if (static_cast<unsigned char>(c - 'A') < 26u) return static_cast<unsigned char>(c + 0x20);
  return c;
}

template <bool Folded>
inline unsigned char key(unsigned char c) {
  return Folded ? fold(c) : c;
}

// How common a byte is in everyday text and code, higher is more common (a
// letter counts both of its cases). The scanners probe for the query's least
// common bytes, so that fewer positions need a full comparison.
constexpr std::array<unsigned char, 256> kCommon = [] {
  std::array<unsigned char, 256> r{};
  for (int c = 0; c < 256; ++c) r[c] = c >= 0x80 ? 40 : c < 0x20 ? 10 : 60;
  const char *letters = "etaoinshrdlcumwfgypbvkjxqz";  // most common first
  for (int i = 0; letters[i] != '\0'; ++i) {
    r[static_cast<unsigned char>(letters[i])] = static_cast<unsigned char>(250 - 6 * i);
    r[static_cast<unsigned char>(letters[i] - 0x20)] = static_cast<unsigned char>(150 - 4 * i);
  }
  for (int c = '0'; c <= '9'; ++c) r[c] = 120;
  for (const char *p = ".,;:'\"-()/_=<>{}[]*#"; *p != '\0'; ++p) {
    r[static_cast<unsigned char>(*p)] = 140;
  }
  r['\n'] = 170;
  r['\t'] = 100;
  r[' '] = 255;
  return r;
}();

using probe = clip_match_probe;
using plan = clip_match_plan;

plan make_plan(const unsigned char *q, size_t qlen, bool folded) {
  plan p{};
  p.q = q;
  p.qlen = qlen;
  if (qlen == 0) return p;
  auto common = [&](size_t i) { return kCommon[folded ? fold(q[i]) : q[i]]; };
  auto same = [&](size_t i, size_t j) {
    return folded ? fold(q[i]) == fold(q[j]) : q[i] == q[j];
  };
  // The rarest byte, then the rarest of the bytes unlike those chosen so far;
  // when every byte is like them, the first position not yet chosen.
  size_t at[3];
  p.probes = qlen < 3 ? static_cast<int>(qlen) : 3;
  for (int k = 0; k < p.probes; ++k) {
    size_t best = kNone, spare = kNone;
    for (size_t i = 0; i < qlen; ++i) {
      bool taken = false, alike = false;
      for (int j = 0; j < k; ++j) {
        taken = taken || at[j] == i;
        alike = alike || same(at[j], i);
      }
      if (taken) continue;
      if (spare == kNone) spare = i;
      if (!alike && (best == kNone || common(i) < common(best))) best = i;
    }
    at[k] = best != kNone ? best : spare;
  }
  for (int k = 0; k < p.probes; ++k) {
    probe &pr = p.pr[k];
    pr.off = at[k];
    pr.a = q[at[k]];
    pr.b = folded ? other_case(pr.a) : pr.a;
    pr.m = pr.a != pr.b ? 0x20 : 0;
    pr.v = static_cast<unsigned char>(pr.a | pr.m);
    p.offmax = std::max(p.offmax, pr.off);
  }
  if (qlen < sizeof p.head) {
    for (size_t i = 0; i < qlen; ++i) p.head[i] = folded ? fold(q[i]) : q[i];
  }
  return p;
}

// ---------------------------------------------------------------------------
// Two-way search (Crochemore and Perrin), on folded or exact bytes: linear in
// the text's length, constant space.

template <bool Folded>
ptrdiff_t max_suffix(const unsigned char *x, ptrdiff_t m, bool reversed,
                     ptrdiff_t *period) {
  ptrdiff_t ms = -1, j = 0, k = 1, p = 1;
  while (j + k < m) {
    unsigned char a = key<Folded>(x[j + k]);
    unsigned char b = key<Folded>(x[ms + k]);
    if (reversed ? a > b : a < b) {
      j += k;
      k = 1;
      p = j - ms;
    } else if (a == b) {
      if (k != p) {
        ++k;
      } else {
        j += p;
        k = 1;
      }
    } else {
      ms = j;
      j = ms + 1;
      k = p = 1;
    }
  }
  *period = p;
  return ms;
}

// The first occurrence of x[0, m) in y[0, n), or kNone; m >= 1.
template <bool Folded>
size_t two_way(const unsigned char *y, size_t n, const unsigned char *x, size_t m) {
  if (n < m) return kNone;
  const ptrdiff_t M = static_cast<ptrdiff_t>(m);
  const ptrdiff_t last = static_cast<ptrdiff_t>(n - m);
  ptrdiff_t p1, p2;
  ptrdiff_t i1 = max_suffix<Folded>(x, M, false, &p1);
  ptrdiff_t i2 = max_suffix<Folded>(x, M, true, &p2);
  ptrdiff_t ell = i1 > i2 ? i1 : i2;
  ptrdiff_t per = i1 > i2 ? p1 : p2;
  // The right half x[ell + 1, m) has period per <= m - ell - 1, so the left
  // half compared with its shift stays inside the query.
  bool periodic = true;
  for (ptrdiff_t k = 0; k <= ell; ++k) {
    if (key<Folded>(x[k]) != key<Folded>(x[k + per])) {
      periodic = false;
      break;
    }
  }
  ptrdiff_t pos = 0;
  if (periodic) {
    ptrdiff_t memory = -1;
    while (pos <= last) {
      ptrdiff_t k = std::max(ell, memory) + 1;
      while (k < M && key<Folded>(x[k]) == key<Folded>(y[pos + k])) ++k;
      if (k < M) {
        pos += k - ell;
        memory = -1;
        continue;
      }
      k = ell;
      while (k > memory && key<Folded>(x[k]) == key<Folded>(y[pos + k])) --k;
      if (k <= memory) return static_cast<size_t>(pos);
      pos += per;
      memory = M - per - 1;
    }
  } else {
    per = std::max(ell + 1, M - ell - 1) + 1;
    while (pos <= last) {
      ptrdiff_t k = ell + 1;
      while (k < M && key<Folded>(x[k]) == key<Folded>(y[pos + k])) ++k;
      if (k < M) {
        pos += k - ell;
        continue;
      }
      k = ell;
      while (k >= 0 && key<Folded>(x[k]) == key<Folded>(y[pos + k])) --k;
      if (k < 0) return static_cast<size_t>(pos);
      pos += per;
    }
  }
  return kNone;
}

// ---------------------------------------------------------------------------
// Candidate checks shared by the scanners

#if CLIP_MATCH_X86

// A-Z to a-z, 16 bytes at once: x + 63 lands on -128..-103 as a signed byte
// exactly for the letters A-Z.
inline __m128i fold16(__m128i x) {
  __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(-102), _mm_add_epi8(x, _mm_set1_epi8(63)));
  return _mm_or_si128(x, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}

// One bit per byte of the 16 from a and b, set where they agree.
template <bool Folded>
inline unsigned agree16(const unsigned char *a, const unsigned char *b) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a));
  __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
  if constexpr (Folded) {
    x = fold16(x);
    y = fold16(y);
  }
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
}

#endif

// How many bytes of the query, from its start, agree with the text at s, of
// which `room` bytes (at least the query's length) may be read. A candidate
// fails at a byte that is hard to foresee, so the comparison is made 16 bytes
// at a time where it can be, rather than a branch per byte.
template <bool Folded>
size_t agreeing(const plan &p, const unsigned char *s, size_t room) {
  const size_t qlen = p.qlen;
#if CLIP_MATCH_X86
  if (qlen >= 16) {
    size_t k = 0;
    for (; k + 16 <= qlen; k += 16) {
      unsigned eq = agree16<Folded>(s + k, p.q + k);
      if (eq != 0xffff) return k + static_cast<size_t>(__builtin_ctz(~eq));
    }
    if (k == qlen) return qlen;
    // The last bytes, by a block that overlaps the ones that agreed.
    unsigned eq = agree16<Folded>(s + qlen - 16, p.q + qlen - 16);
    return eq == 0xffff ? qlen : qlen - 16 + static_cast<size_t>(__builtin_ctz(~eq));
  }
  if (room >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
    if constexpr (Folded) x = fold16(x);
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p.head));
    unsigned eq = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
    eq |= 0xffffu << qlen;
    return (eq & 0xffff) == 0xffff ? qlen : static_cast<size_t>(__builtin_ctz(~eq));
  }
#else
  (void)room;
#endif
  size_t k = 0;
  while (k < qlen && key<Folded>(s[k]) == key<Folded>(p.q[k])) ++k;
  return k;
}

// The search of one stretch of start positions, [from, end). `work` counts
// the bytes compared at candidates so far; once it outgrows the positions
// covered, as it does only where the text and the query share a period,
// two-way searches the rest of the stretch. Candidates that fail at once are
// left alone: the vector scan handles them faster than two-way would.
template <bool Folded>
struct scan_state {
  const plan &p;
  const unsigned char *t;
  size_t len;
  size_t from;
  size_t end;
  size_t work;
  size_t steps = 0;   // vector steps taken, and those where the two rarest
  size_t passed = 0;  // probes left candidates (see scan_avx2)

  // Adds the cost of a rejected candidate at c: kMore while the comparisons
  // stay within a bound linear in the positions covered, else the answer of
  // a two-way search of the rest of the stretch.
  size_t spent(size_t c, size_t cost) {
    work += cost;
    if (work <= 2 * (c - from) + 4096) return kMore;
    size_t stop = std::min(len, end - 1 + p.qlen);  // one past the bytes the stretch reads
    size_t r = two_way<Folded>(t + c + 1, stop - c - 1, p.q, p.qlen);
    return r == kNone ? kNone : c + 1 + r;
  }

  // kMore when the query does not start at c, else the answer of the stretch.
  size_t check(size_t c) {
    size_t k = agreeing<Folded>(p, t + c, len - c);
    if (k == p.qlen) return c;
    return spent(c, k);
  }

  // The candidates of a bit mask, bit i for the start position base + i.
  size_t check_mask(uint64_t mask, size_t base) {
    while (mask != 0) {
      size_t r = check(base + static_cast<size_t>(__builtin_ctzll(mask)));
      if (r != kMore) return r;
      mask &= mask - 1;
    }
    return kMore;
  }

  bool probes_fit(size_t c) const {
    for (int k = 0; k < p.probes; ++k) {
      unsigned char x = t[c + p.pr[k].off];
      if (x != p.pr[k].a && x != p.pr[k].b) return false;
    }
    return true;
  }

  // The start positions [s, to), one at a time.
  size_t scalar(size_t s, size_t to) {
    for (; s < to; ++s) {
      if (!probes_fit(s)) continue;
      size_t r = check(s);
      if (r != kMore) return r;
    }
    return kMore;
  }
};

// ---------------------------------------------------------------------------
// The portable scanner, for processors without the vector scanners below:
// the start positions [s, to) of one stretch, through memchr. It returns the
// first where the query occurs (folded or exact), kMore when there is none
// among them, or kNone when the stretch is settled without one.

template <bool Folded>
size_t scan_portable(scan_state<Folded> &st, size_t s, size_t to) {
  const plan &p = st.p;
  const unsigned char *t = st.t;
  // The next place of each case of the rarest byte, looked up only once
  // passed, so that a text full of one case is not searched again for the other.
  const probe &pr = p.pr[0];
  const unsigned char *end = t + to + pr.off;
  auto next = [&](const unsigned char *at, unsigned char b) -> const unsigned char * {
    if (at >= end) return nullptr;
    return static_cast<const unsigned char *>(memchr(at, b, static_cast<size_t>(end - at)));
  };
  const unsigned char *na = next(t + s + pr.off, pr.a);
  const unsigned char *nb = pr.b == pr.a ? nullptr : next(t + s + pr.off, pr.b);
  while (na != nullptr || nb != nullptr) {
    const unsigned char *at = na == nullptr ? nb : nb == nullptr ? na : std::min(na, nb);
    size_t c = static_cast<size_t>(at - t) - pr.off;
    // Every hit of the rarest byte costs a call: a text full of them hands
    // over to two-way as well.
    size_t r = st.probes_fit(c) ? st.check(c) : st.spent(c, 4);
    if (r != kMore) return r;
    if (at == na) na = next(at + 1, pr.a);
    if (at == nb) nb = next(at + 1, pr.b);
  }
  return kMore;
}

// ---------------------------------------------------------------------------
// Lanes. One core reads memory faster from several places at once than from
// one: the start positions of a long text are cut into kLanes stretches,
// scanned kChunk positions at a time in turn. The first occurrence is the
// first one of the lowest stretch that has one, so a stretch that finds one
// ends every stretch above it, and the lowest one to find one ends the search.

constexpr int kLanes = 4;
constexpr size_t kChunk = 1024;
constexpr size_t kLaneMin = 16384;  // shorter stretches gain nothing

template <bool Folded>
struct lanes {
  static_assert(kLanes == 4, "the constructor sets up four stretches");
  scan_state<Folded> lane[kLanes];
  size_t at[kLanes];  // the next start position of each stretch
  int count;          // stretches in use: 1 for a short text
  int live;           // stretches from here up have stopped
  int turn;
  size_t found;

  lanes(const plan &p, const unsigned char *t, size_t len, size_t from)
      : lane{{p, t, len, from, 0, 0}, {p, t, len, from, 0, 0},
             {p, t, len, from, 0, 0}, {p, t, len, from, 0, 0}},
        count(1), live(1), turn(0), found(kNone) {
    const size_t end = len - p.qlen + 1;  // one past the last start position
    const size_t part = (end - from) / kLanes / kChunk * kChunk;
    if (part >= kLaneMin) count = live = kLanes;
    for (int j = 0; j < kLanes; ++j) at[j] = end;
    for (int j = 0; j < count; ++j) {
      lane[j].from = at[j] = from + static_cast<size_t>(j) * part;
      lane[j].end = j + 1 < count ? lane[j].from + part : end;
    }
  }

  // The next positions to scan, [*s, *to) of stretch *j; false once the
  // search is over, its answer in `found`.
  bool next(int *j, size_t *s, size_t *to) {
    for (int tries = 0; tries < live; ++tries) {
      if (turn >= live) turn = 0;
      int k = turn++;
      if (at[k] == lane[k].end) continue;
      *j = k;
      *s = at[k];
      *to = count == 1 ? lane[k].end : std::min(at[k] + kChunk, lane[k].end);
      return true;
    }
    return false;
  }

  // The outcome r of stretch j's positions up to `to`: kMore when none of
  // them holds the query, else a position or kNone for the whole stretch.
  void settle(int j, size_t to, size_t r) {
    at[j] = r == kMore ? to : lane[j].end;
    if (r == kMore || r == kNone) return;
    found = r;
    live = j;  // with j == 0, nothing is left to scan
  }
};

#if CLIP_MATCH_X86

// The vector scanners take 128 start positions a step, and leave positions
// too close to the end of a chunk for a whole step to the scalar loop. They
// ask for the text kPrefetch bytes ahead of the step, up to its end: the
// processor's own prefetching stops at every 4 KiB page.

constexpr size_t kPrefetch = 8192;

inline void prefetch_ahead(const unsigned char *t, size_t len, size_t s) {
  if (len - s > kPrefetch + 128) {
    _mm_prefetch(reinterpret_cast<const char *>(t + s + kPrefetch), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char *>(t + s + kPrefetch + 64), _MM_HINT_T0);
  }
}

// One past the last s from which a step of 128 start positions stays within
// [s, to). Its loads stay inside the text: the last position of the step is
// at most the last where the query fits, and no probe lies beyond the query.
inline size_t vector_end(size_t s, size_t to) { return to - s >= 128 ? to - 127 : s; }

// The candidates of 16 start positions from `at` for one probe.
template <bool Folded>
inline __m128i probe_sse2(const unsigned char *at, __m128i m, __m128i v) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
  if constexpr (Folded) x = _mm_or_si128(x, m);
  return _mm_cmpeq_epi8(x, v);
}

// The two rarest probes on every step, the third only where they leave
// candidates.
template <bool Folded, int K>
size_t scan_sse2(lanes<Folded> &L) {
  const plan &p = L.lane[0].p;
  const unsigned char *t = L.lane[0].t;
  const size_t len = L.lane[0].len;
  __m128i m[K], v[K];
  const unsigned char *base[K];
  for (int k = 0; k < K; ++k) {
    m[k] = _mm_set1_epi8(static_cast<char>(p.pr[k].m));
    v[k] = _mm_set1_epi8(static_cast<char>(p.pr[k].v));
    base[k] = t + p.pr[k].off;
  }
  int j;
  size_t s, to;
  while (L.next(&j, &s, &to)) {
    scan_state<Folded> &st = L.lane[j];
    size_t r = kMore;
    for (const size_t vend = vector_end(s, to); r == kMore && s < vend; s += 128) {
      prefetch_ahead(t, len, s);
      __m128i c[8];
      __m128i any = _mm_setzero_si128();
      for (int i = 0; i < 8; ++i) {
        size_t at = s + 16 * static_cast<size_t>(i);
        c[i] = probe_sse2<Folded>(base[0] + at, m[0], v[0]);
        if constexpr (K >= 2) {
          c[i] = _mm_and_si128(c[i], probe_sse2<Folded>(base[1] + at, m[1], v[1]));
        }
        any = _mm_or_si128(any, c[i]);
      }
      if (_mm_movemask_epi8(any) == 0) continue;
      if constexpr (K == 3) {
        any = _mm_setzero_si128();
        for (int i = 0; i < 8; ++i) {
          size_t at = s + 16 * static_cast<size_t>(i);
          c[i] = _mm_and_si128(c[i], probe_sse2<Folded>(base[2] + at, m[2], v[2]));
          any = _mm_or_si128(any, c[i]);
        }
        if (_mm_movemask_epi8(any) == 0) continue;
      }
      for (int half = 0; r == kMore && half < 2; ++half) {
        uint64_t mask = 0;
        for (int i = 0; i < 4; ++i) {
          mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(c[4 * half + i])))
                  << (16 * i);
        }
        r = st.check_mask(mask, s + 64 * static_cast<size_t>(half));
      }
    }
    if (r == kMore) r = st.scalar(s, to);
    L.settle(j, to, r);
  }
  return L.found;
}

// The candidates of 32 start positions from `at` for one probe.
template <bool Folded>
__attribute__((target("avx2"))) inline __m256i probe_avx2(const unsigned char *at, __m256i m,
                                                         __m256i v) {
  __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
  if constexpr (Folded) x = _mm256_or_si256(x, m);
  return _mm256_cmpeq_epi8(x, v);
}

// The third probe is tested only where the first two leave candidates, until
// they leave some in more than one step of four in a stretch: from then on it
// is tested at every step of the stretch, which costs less than the branch it
// saves.
template <bool Folded, int K>
__attribute__((target("avx2"))) size_t scan_avx2(lanes<Folded> &L) {
  const plan &p = L.lane[0].p;
  const unsigned char *t = L.lane[0].t;
  const size_t len = L.lane[0].len;
  __m256i m[K], v[K];
  const unsigned char *base[K];
  for (int k = 0; k < K; ++k) {
    m[k] = _mm256_set1_epi8(static_cast<char>(p.pr[k].m));
    v[k] = _mm256_set1_epi8(static_cast<char>(p.pr[k].v));
    base[k] = t + p.pr[k].off;
  }
  int j;
  size_t s, to;
  while (L.next(&j, &s, &to)) {
    scan_state<Folded> &st = L.lane[j];
    const bool every = K == 3 && st.passed * 4 > st.steps + 64;
    size_t r = kMore;
    for (const size_t vend = vector_end(s, to); r == kMore && s < vend; s += 128) {
      prefetch_ahead(t, len, s);
      __m256i c[4];
      for (int i = 0; i < 4; ++i) {
        size_t at = s + 32 * static_cast<size_t>(i);
        c[i] = probe_avx2<Folded>(base[0] + at, m[0], v[0]);
        if constexpr (K >= 2) {
          c[i] = _mm256_and_si256(c[i], probe_avx2<Folded>(base[1] + at, m[1], v[1]));
        }
        if constexpr (K == 3) {
          if (every) c[i] = _mm256_and_si256(c[i], probe_avx2<Folded>(base[2] + at, m[2], v[2]));
        }
      }
      ++st.steps;
      __m256i any = _mm256_or_si256(_mm256_or_si256(c[0], c[1]), _mm256_or_si256(c[2], c[3]));
      if (_mm256_testz_si256(any, any)) continue;
      if constexpr (K == 3) {
        if (!every) {
          ++st.passed;
          for (int i = 0; i < 4; ++i) {
            size_t at = s + 32 * static_cast<size_t>(i);
            c[i] = _mm256_and_si256(c[i], probe_avx2<Folded>(base[2] + at, m[2], v[2]));
          }
          any = _mm256_or_si256(_mm256_or_si256(c[0], c[1]), _mm256_or_si256(c[2], c[3]));
          if (_mm256_testz_si256(any, any)) continue;
        }
      }
      for (int half = 0; r == kMore && half < 2; ++half) {
        uint64_t mask =
            static_cast<uint32_t>(_mm256_movemask_epi8(c[2 * half])) |
            static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(c[2 * half + 1])))
                << 32;
        r = st.check_mask(mask, s + 64 * static_cast<size_t>(half));
      }
    }
    if (r == kMore) r = st.scalar(s, to);
    L.settle(j, to, r);
  }
  return L.found;
}

// A probe of 64 start positions from `at`, as a vector to compare.
template <bool Folded>
__attribute__((target("avx512bw"))) inline __m512i load_avx512(const unsigned char *at,
                                                              __m512i m) {
  __m512i x = _mm512_loadu_si512(at);
  if constexpr (Folded) x = _mm512_or_si512(x, m);
  return x;
}

// With comparisons into mask registers, each probe narrows the candidates
// of the ones before it in one instruction, so all of them are always tested.
template <bool Folded, int K>
__attribute__((target("avx512bw"))) size_t scan_avx512(lanes<Folded> &L) {
  const plan &p = L.lane[0].p;
  const unsigned char *t = L.lane[0].t;
  const size_t len = L.lane[0].len;
  __m512i m[K], v[K];
  const unsigned char *base[K];
  for (int k = 0; k < K; ++k) {
    m[k] = _mm512_set1_epi8(static_cast<char>(p.pr[k].m));
    v[k] = _mm512_set1_epi8(static_cast<char>(p.pr[k].v));
    base[k] = t + p.pr[k].off;
  }
  int j;
  size_t s, to;
  while (L.next(&j, &s, &to)) {
    scan_state<Folded> &st = L.lane[j];
    size_t r = kMore;
    for (const size_t vend = vector_end(s, to); r == kMore && s < vend; s += 128) {
      prefetch_ahead(t, len, s);
      __mmask64 c0 = _mm512_cmpeq_epi8_mask(load_avx512<Folded>(base[0] + s, m[0]), v[0]);
      __mmask64 c1 = _mm512_cmpeq_epi8_mask(load_avx512<Folded>(base[0] + s + 64, m[0]), v[0]);
      for (int k = 1; k < K; ++k) {
        c0 = _mm512_mask_cmpeq_epi8_mask(c0, load_avx512<Folded>(base[k] + s, m[k]), v[k]);
        c1 = _mm512_mask_cmpeq_epi8_mask(c1, load_avx512<Folded>(base[k] + s + 64, m[k]), v[k]);
      }
      if ((c0 | c1) == 0) continue;
      r = st.check_mask(c0, s);
      if (r == kMore) r = st.check_mask(c1, s + 64);
    }
    if (r == kMore) r = st.scalar(s, to);
    L.settle(j, to, r);
  }
  return L.found;
}

// What the processor and the operating system let the scanners use, found
// on first use rather than by a constructor at load (libgcc's processor
// probe would be one): loading the library runs none of its code.
enum : unsigned {
  kCpuKnown = 1,
  kCpuAvx2 = 2,
  kCpuAvx512 = 4,
};
constinit std::atomic<unsigned> g_cpu{0};

unsigned detect_cpu() {
  unsigned found = kCpuKnown;
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return found;
  constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
  if ((c & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return found;
  // The registers are usable only when the system saves them on a switch:
  // XCR0 bits 1-2 for the 256-bit state, 5-7 for the mask and 512-bit state.
  unsigned xlo, xhi;
  __asm__("xgetbv" : "=a"(xlo), "=d"(xhi) : "c"(0));
  (void)xhi;
  constexpr unsigned kYmmState = 0x06, kZmmState = 0xE0;
  if ((xlo & kYmmState) != kYmmState) return found;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return found;
  constexpr unsigned kAvx2 = 1u << 5, kAvx512f = 1u << 16, kAvx512bw = 1u << 30;
  if (b & kAvx2) found |= kCpuAvx2;
  if ((b & (kAvx512f | kAvx512bw)) == (kAvx512f | kAvx512bw) &&
      (xlo & kZmmState) == kZmmState) {
    found |= kCpuAvx512;
  }
  return found;
}

unsigned cpu_features() {
  unsigned f = g_cpu.load(std::memory_order_relaxed);
  if (f == 0) {
    f = detect_cpu();
    g_cpu.store(f, std::memory_order_relaxed);
  }
  return f;
}

bool have_avx2() { return (cpu_features() & kCpuAvx2) != 0; }
bool have_avx512() { return (cpu_features() & kCpuAvx512) != 0; }

#endif  // CLIP_MATCH_X86

clip_scan resolve(clip_scan scan) {
  if (scan != CLIP_SCAN_BEST) return scan;
#if CLIP_MATCH_X86
  return have_avx512() ? CLIP_SCAN_AVX512 : have_avx2() ? CLIP_SCAN_AVX2 : CLIP_SCAN_SSE2;
#else
  return CLIP_SCAN_PORTABLE;
#endif
}

// The first start position >= from where the query occurs, or kNone.
template <bool Folded>
size_t find(clip_scan scan, const plan &p, const unsigned char *t, size_t len, size_t from) {
  if (len < p.qlen || from > len - p.qlen) return kNone;
  switch (scan) {
#if CLIP_MATCH_X86
    case CLIP_SCAN_AVX512: {
      lanes<Folded> L(p, t, len, from);
      return p.probes == 1   ? scan_avx512<Folded, 1>(L)
             : p.probes == 2 ? scan_avx512<Folded, 2>(L)
                             : scan_avx512<Folded, 3>(L);
    }
    case CLIP_SCAN_AVX2: {
      lanes<Folded> L(p, t, len, from);
      return p.probes == 1   ? scan_avx2<Folded, 1>(L)
             : p.probes == 2 ? scan_avx2<Folded, 2>(L)
                             : scan_avx2<Folded, 3>(L);
    }
    case CLIP_SCAN_SSE2: {
      lanes<Folded> L(p, t, len, from);
      return p.probes == 1   ? scan_sse2<Folded, 1>(L)
             : p.probes == 2 ? scan_sse2<Folded, 2>(L)
                             : scan_sse2<Folded, 3>(L);
    }
#endif
    case CLIP_SCAN_TWOWAY: {
      size_t r = two_way<Folded>(t + from, len - from, p.q, p.qlen);
      return r == kNone ? kNone : from + r;
    }
    default: {
      scan_state<Folded> st{p, t, len, from, len - p.qlen + 1, 0};
      size_t r = scan_portable<Folded>(st, from, st.end);
      return r == kMore ? kNone : r;
    }
  }
}

// 1 when the query occurs in the text under A-Z folding, with *at its first
// start position; else 0.
int ci_contains(clip_scan scan, const plan &folded, const unsigned char *t, size_t len,
                size_t *at) {
  *at = folded.qlen == 0 ? 0 : find<true>(scan, folded, t, len, 0);
  return *at != kNone;
}

// The first folded occurrence decides whether there is a match at all; the
// first exact one, which cannot come earlier, decides the score. Each scan
// stops at the first occurrence it finds.
int score(clip_scan scan, const plan &folded, const plan &exact, const unsigned char *t,
          size_t len) {
  size_t qlen = folded.qlen;
  size_t f;
  if (!ci_contains(scan, folded, t, len, &f)) return -1;
  if (qlen == 0) return 0;
  size_t p = memcmp(t + f, exact.q, qlen) == 0 ? f : find<false>(scan, exact, t, len, f + 1);
  if (p == kNone) return 100;
  return p < 500 ? 1500 - static_cast<int>(p) : 1000;
}

}  // namespace

bool clip_match_scan_available(clip_scan scan) {
  switch (scan) {
    case CLIP_SCAN_BEST:
    case CLIP_SCAN_PORTABLE:
    case CLIP_SCAN_TWOWAY:
      return true;
#if CLIP_MATCH_X86
    case CLIP_SCAN_SSE2:
      return true;
    case CLIP_SCAN_AVX2:
      return have_avx2();
    case CLIP_SCAN_AVX512:
      return have_avx512();
#endif
    default:
      return false;
  }
}

void clip_match_prepare(clip_query *q, clip_scan scan, const char *query, size_t qlen) {
  const unsigned char *u = reinterpret_cast<const unsigned char *>(query);
  q->folded = make_plan(u, qlen, true);
  q->exact = make_plan(u, qlen, false);
  q->scan = resolve(scan);
}

int clip_match_score(const clip_query *q, const char *text, size_t len) {
  return score(q->scan, q->folded, q->exact, reinterpret_cast<const unsigned char *>(text), len);
}

int clip_match_score_with(clip_scan scan, const char *text, size_t len, const char *query,
                          size_t qlen) {
  clip_query q;
  clip_match_prepare(&q, scan, query, qlen);
  return clip_match_score(&q, text, len);
}
