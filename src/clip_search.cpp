#include "clip_search.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#define CLIP_SEARCH_X86 1
#else
#define CLIP_SEARCH_X86 0
#endif

#include "clip_sys.h"
#include "quillmar_clip_internal.h"

// The matcher answers what a byte-by-byte folded comparison at every start
// position would answer, followed by a substring search for the first exact
// occurrence, but without the cost of either. A scan looks for two bytes of
// the query at their distance (the rarest ones, both cases of each when
// folding), 32 or 16 text bytes at a time, and compares the query only where
// both are present. When those comparisons cost more than the text they cover
// (periodic texts such as "aaaa..." against "AAA...Ab"), the scan hands the
// rest of the text to a two-way search, which is linear in the worst case and
// needs no memory of its own.

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

// What a scan looks for: the query and two of its bytes (`off1`, `off2`),
// each in both cases when folding (`a1`/`b1`, `a2`/`b2`; the same byte twice
// for a byte that does not fold or an exact search).
struct plan {
  const unsigned char *q;
  size_t qlen;
  bool folded;
  size_t off1, off2, offmax;
  unsigned char a1, b1, a2, b2;
};

plan make_plan(const unsigned char *q, size_t qlen, bool folded) {
  plan p{};
  p.q = q;
  p.qlen = qlen;
  p.folded = folded;
  if (qlen == 0) return p;
  auto common = [&](size_t i) { return kCommon[folded ? fold(q[i]) : q[i]]; };
  auto same = [&](size_t i, size_t j) {
    return folded ? fold(q[i]) == fold(q[j]) : q[i] == q[j];
  };
  size_t r1 = 0;
  for (size_t i = 1; i < qlen; ++i) {
    if (common(i) < common(r1)) r1 = i;
  }
  // The second probe is the rarest byte that differs from the first; a query
  // of one repeated byte probes its two ends.
  size_t r2 = kNone;
  for (size_t i = 0; i < qlen; ++i) {
    if (same(i, r1)) continue;
    if (r2 == kNone || common(i) < common(r2)) r2 = i;
  }
  if (r2 == kNone) r2 = r1 == qlen - 1 ? 0 : qlen - 1;
  p.off1 = std::min(r1, r2);
  p.off2 = std::max(r1, r2);
  p.offmax = p.off2;
  unsigned char c1 = q[p.off1], c2 = q[p.off2];
  p.a1 = c1;
  p.b1 = folded ? other_case(c1) : c1;
  p.a2 = c2;
  p.b2 = folded ? other_case(c2) : c2;
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

// One scan of one text from `from` on. `work` weighs the comparisons made so
// far; once it outgrows the text covered, two-way takes over.
template <bool Folded>
struct scan_state {
  const plan &p;
  const unsigned char *t;
  size_t len;
  size_t from;
  size_t last;  // the last start position where the query fits
  size_t work;

  // Adds the cost of a rejected candidate at c: kMore while the scan is still
  // cheaper than the text it covered, else the answer of a two-way search of
  // the rest.
  size_t spent(size_t c, size_t cost) {
    work += cost;
    if (work <= 2 * (c - from) + 4096) return kMore;
    size_t r = two_way<Folded>(t + c + 1, len - c - 1, p.q, p.qlen);
    return r == kNone ? kNone : c + 1 + r;
  }

  // kMore when the query does not start at c, else the answer of the scan.
  size_t check(size_t c) {
    const unsigned char *s = t + c;
    const unsigned char *q = p.q;
    size_t k;
    if (Folded) {
      k = 0;
      while (k < p.qlen && fold(s[k]) == fold(q[k])) ++k;
    } else {
      k = memcmp(s, q, p.qlen) == 0 ? p.qlen : p.qlen / 8;
    }
    if (k == p.qlen) return c;
    return spent(c, 8 + k);
  }

  // The candidates of a bit mask, bit i for the start position base + i.
  size_t check_mask(uint64_t mask, size_t base) {
    while (mask != 0) {
      size_t c = base + static_cast<size_t>(__builtin_ctzll(mask));
      if (c > last) return kNone;
      size_t r = check(c);
      if (r != kMore) return r;
      mask &= mask - 1;
    }
    return kMore;
  }

  // Every start position from s to the end, one at a time.
  size_t tail(size_t s) {
    for (; s <= last; ++s) {
      unsigned char x = t[s + p.off1], y = t[s + p.off2];
      if ((x != p.a1 && x != p.b1) || (y != p.a2 && y != p.b2)) continue;
      size_t r = check(s);
      if (r != kMore) return r;
    }
    return kNone;
  }
};

// ---------------------------------------------------------------------------
// Scanners. Each returns the first start position >= from where the query
// occurs (folded or exact), or kNone; len >= qlen >= 1 and from <= len - qlen.

template <bool Folded>
size_t scan_portable(const plan &p, const unsigned char *t, size_t len, size_t from) {
  scan_state<Folded> st{p, t, len, from, len - p.qlen, 0};
  // The next place of each case of the first probe byte, looked up only once
  // passed, so that a text full of one case is not searched again for the other.
  const unsigned char *end = t + st.last + p.off1 + 1;
  auto next = [&](const unsigned char *at, unsigned char b) -> const unsigned char * {
    if (at >= end) return nullptr;
    return static_cast<const unsigned char *>(memchr(at, b, static_cast<size_t>(end - at)));
  };
  const unsigned char *na = next(t + from + p.off1, p.a1);
  const unsigned char *nb = p.b1 == p.a1 ? nullptr : next(t + from + p.off1, p.b1);
  while (na != nullptr || nb != nullptr) {
    const unsigned char *at = na == nullptr ? nb : nb == nullptr ? na : std::min(na, nb);
    size_t c = static_cast<size_t>(at - t) - p.off1;
    unsigned char y = t[c + p.off2];
    size_t r = y == p.a2 || y == p.b2 ? st.check(c) : st.spent(c, 4);
    if (r != kMore) return r;
    if (at == na) na = next(at + 1, p.a1);
    if (at == nb) nb = next(at + 1, p.b1);
  }
  return kNone;
}

#if CLIP_SEARCH_X86

template <bool Folded>
size_t scan_sse2(const plan &p, const unsigned char *t, size_t len, size_t from) {
  scan_state<Folded> st{p, t, len, from, len - p.qlen, 0};
  size_t s = from;
  if (len >= p.offmax + 32) {
    // The last s whose loads stay inside the text and whose first candidate fits.
    const size_t stop = std::min(len - p.offmax - 32, st.last);
    const __m128i a1 = _mm_set1_epi8(static_cast<char>(p.a1));
    const __m128i b1 = _mm_set1_epi8(static_cast<char>(p.b1));
    const __m128i a2 = _mm_set1_epi8(static_cast<char>(p.a2));
    const __m128i b2 = _mm_set1_epi8(static_cast<char>(p.b2));
    for (; s <= stop; s += 32) {
      const unsigned char *x = t + s + p.off1;
      const unsigned char *y = t + s + p.off2;
      __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x));
      __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + 16));
      __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(y));
      __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(y + 16));
      __m128i m0 = _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(x0, a1), _mm_cmpeq_epi8(x0, b1)),
                                 _mm_or_si128(_mm_cmpeq_epi8(y0, a2), _mm_cmpeq_epi8(y0, b2)));
      __m128i m1 = _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(x1, a1), _mm_cmpeq_epi8(x1, b1)),
                                 _mm_or_si128(_mm_cmpeq_epi8(y1, a2), _mm_cmpeq_epi8(y1, b2)));
      uint64_t mask = static_cast<uint32_t>(_mm_movemask_epi8(m0)) |
                      static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(m1))) << 16;
      if (mask == 0) continue;
      size_t r = st.check_mask(mask, s);
      if (r != kMore) return r;
    }
  }
  return st.tail(s);
}

template <bool Folded>
__attribute__((target("avx2"))) size_t scan_avx2(const plan &p, const unsigned char *t,
                                                 size_t len, size_t from) {
  scan_state<Folded> st{p, t, len, from, len - p.qlen, 0};
  size_t s = from;
  if (len >= p.offmax + 64) {
    // The last s whose loads stay inside the text and whose first candidate fits.
    const size_t stop = std::min(len - p.offmax - 64, st.last);
    const __m256i a1 = _mm256_set1_epi8(static_cast<char>(p.a1));
    const __m256i b1 = _mm256_set1_epi8(static_cast<char>(p.b1));
    const __m256i a2 = _mm256_set1_epi8(static_cast<char>(p.a2));
    const __m256i b2 = _mm256_set1_epi8(static_cast<char>(p.b2));
    for (; s <= stop; s += 64) {
      const unsigned char *x = t + s + p.off1;
      const unsigned char *y = t + s + p.off2;
      __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x));
      __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x + 32));
      __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(y));
      __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(y + 32));
      __m256i m0 = _mm256_and_si256(
          _mm256_or_si256(_mm256_cmpeq_epi8(x0, a1), _mm256_cmpeq_epi8(x0, b1)),
          _mm256_or_si256(_mm256_cmpeq_epi8(y0, a2), _mm256_cmpeq_epi8(y0, b2)));
      __m256i m1 = _mm256_and_si256(
          _mm256_or_si256(_mm256_cmpeq_epi8(x1, a1), _mm256_cmpeq_epi8(x1, b1)),
          _mm256_or_si256(_mm256_cmpeq_epi8(y1, a2), _mm256_cmpeq_epi8(y1, b2)));
      if (_mm256_testz_si256(_mm256_or_si256(m0, m1), _mm256_or_si256(m0, m1))) continue;
      uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(m0)) |
                      static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(m1))) << 32;
      size_t r = st.check_mask(mask, s);
      if (r != kMore) return r;
    }
  }
  return st.tail(s);
}

bool have_avx2() { return __builtin_cpu_supports("avx2"); }

#endif  // CLIP_SEARCH_X86

clip_scan resolve(clip_scan scan) {
  if (scan != CLIP_SCAN_BEST) return scan;
#if CLIP_SEARCH_X86
  return have_avx2() ? CLIP_SCAN_AVX2 : CLIP_SCAN_SSE2;
#else
  return CLIP_SCAN_PORTABLE;
#endif
}

template <bool Folded>
size_t find(clip_scan scan, const plan &p, const unsigned char *t, size_t len, size_t from) {
  if (len < p.qlen || from > len - p.qlen) return kNone;
  switch (scan) {
#if CLIP_SEARCH_X86
    case CLIP_SCAN_AVX2:
      return scan_avx2<Folded>(p, t, len, from);
    case CLIP_SCAN_SSE2:
      return scan_sse2<Folded>(p, t, len, from);
#endif
    case CLIP_SCAN_TWOWAY: {
      size_t r = two_way<Folded>(t + from, len - from, p.q, p.qlen);
      return r == kNone ? kNone : from + r;
    }
    default:
      return scan_portable<Folded>(p, t, len, from);
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

// The plain matcher: 1 when the needle occurs in the haystack with the
// letters A-Z (0x41 to 0x5A) counted as a-z, comparing byte by byte at every
// start position. It shares no code with the scanners.
int ci_contains_reference(const char *haystack, const char *needle) {
  auto folded = [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x41 && u <= 0x5A ? u + 0x20 : u;
  };
  size_t hlen = strlen(haystack), nlen = strlen(needle);
  if (nlen == 0) return 1;
  if (hlen < nlen) return 0;
  for (size_t s = 0; s <= hlen - nlen; ++s) {
    size_t k = 0;
    while (k < nlen && folded(haystack[s + k]) == folded(needle[k])) ++k;
    if (k == nlen) return 1;
  }
  return 0;
}

}  // namespace

bool clip_search_scan_available(clip_scan scan) {
  switch (scan) {
    case CLIP_SCAN_BEST:
    case CLIP_SCAN_PORTABLE:
    case CLIP_SCAN_TWOWAY:
      return true;
#if CLIP_SEARCH_X86
    case CLIP_SCAN_SSE2:
      return true;
    case CLIP_SCAN_AVX2:
      return have_avx2();
#endif
    default:
      return false;
  }
}

int clip_search_score_with(clip_scan scan, const char *text, size_t len, const char *query,
                           size_t qlen) {
  const unsigned char *t = reinterpret_cast<const unsigned char *>(text);
  const unsigned char *q = reinterpret_cast<const unsigned char *>(query);
  return score(resolve(scan), make_plan(q, qlen, true), make_plan(q, qlen, false), t, len);
}

int clip_search_score(const char *text, size_t len, const char *query, size_t qlen) {
  return clip_search_score_with(CLIP_SCAN_BEST, text, len, query, qlen);
}

int clip_search_score_reference(const char *text, const char *query) {
  if (!ci_contains_reference(text, query)) return -1;
  if (query[0] == '\0') return 0;
  const char *p = strstr(text, query);
  if (p == nullptr) return 100;
  return p - text < 500 ? 1500 - static_cast<int>(p - text) : 1000;
}

char *clip_search_impl(clip_store *store, const char *query, int limit) {
  if (store == nullptr || !store->initialized) {
    clip_set_error("not initialized");
    return nullptr;
  }
  if (query == nullptr) {
    clip_set_error("query is NULL");
    return nullptr;
  }
  int want = limit > 0 ? limit : CLIP_DEFAULT_LIMIT;
  size_t qlen = strlen(query);
  clip_search_hit *hits = static_cast<clip_search_hit *>(
      clip_calloc(static_cast<size_t>(store->count) + 1, sizeof(clip_search_hit)));
  if (hits == nullptr) {
    clip_set_error("out of memory");
    return nullptr;
  }
  const unsigned char *q = reinterpret_cast<const unsigned char *>(query);
  const plan folded = make_plan(q, qlen, true);
  const plan exact = make_plan(q, qlen, false);
  const clip_scan scan = resolve(CLIP_SCAN_BEST);
  int found = 0;
  for (int i = 0; i < store->count; ++i) {
    const clip_entry *e = &store->entries[i];
    if (e->kind != CLIP_KIND_TEXT || e->text == nullptr) continue;
    int s = score(scan, folded, exact, reinterpret_cast<const unsigned char *>(e->text),
                  e->text_len);
    if (s < 0) continue;
    hits[found++] = clip_search_hit{e->id, s, i};
  }
  // Higher score first; among equals the newer clip (larger index) first.
  // No two hits share an index, so the order is total.
  std::sort(hits, hits + found, [](const clip_search_hit &a, const clip_search_hit &b) {
    return a.score != b.score ? a.score > b.score : a.index > b.index;
  });

  yyjson_mut_doc *doc = yyjson_mut_doc_new(clip_json_alc());
  if (doc == nullptr) {
    free(hits);
    clip_set_error("out of memory");
    return nullptr;
  }
  yyjson_mut_val *root = yyjson_mut_arr(doc);
  bool ok = root != nullptr;
  if (ok) yyjson_mut_doc_set_root(doc, root);
  int n = std::min(want, found);
  for (int h = 0; ok && h < n; ++h) {
    const clip_entry *e = &store->entries[hits[h].index];
    yyjson_mut_val *obj = yyjson_mut_obj(doc);
    ok = obj != nullptr &&
         yyjson_mut_obj_add_int(doc, obj, "id", e->id) &&
         yyjson_mut_obj_add_int(doc, obj, "ts", e->ts) &&
         yyjson_mut_obj_add_str(doc, obj, "kind", "text") &&
         yyjson_mut_obj_add_str(doc, obj, "preview",
                                e->preview != nullptr ? e->preview : "") &&
         yyjson_mut_obj_add_bool(doc, obj, "pinned", e->pinned != 0) &&
         yyjson_mut_obj_add_int(doc, obj, "score", hits[h].score) &&
         yyjson_mut_arr_append(root, obj);
  }
  free(hits);
  if (!ok) {
    // Results with hits silently left out would be a wrong answer.
    yyjson_mut_doc_free(doc);
    clip_set_error("out of memory");
    return nullptr;
  }
  char *out = clip_json_result(doc);
  yyjson_mut_doc_free(doc);
  if (out == nullptr) clip_set_error("failed to serialize search results");
  return out;
}
