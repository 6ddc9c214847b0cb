// knn_sparse_terms.cpp - candidates for the sparse search from the terms its
// rows share.
//
// Sparse rows such as TF-IDF documents are near under every sparse measure
// when they share their heavy, rare terms, and random projections of 80 of
// 50,000 columns separate such pairs often. So each row is indexed under its
// few heaviest terms, and offered the heaviest rows of each of those terms'
// lists: pairs the forest would miss, found by a sort of a few entries per
// row. Every step is a function of the rows alone (ties go to the lower
// column or row id), so the candidates are the same for any thread count.
#include <algorithm>
#include <cstdint>

#include "knn_sparse.h"
#include "scratch.h"

namespace {

using namespace vornik::knn;
using vornik::alloc_scratch;
using vornik::scratch;

// One row indexed under one of its terms.
struct posting {
    int32_t col;
    int32_t row;
    double weight; // the row's weight on the term: lists go heaviest first
};

bool list_order(const posting &a, const posting &b) {
    if (a.col != b.col) return a.col < b.col;
    if (a.weight != b.weight) return a.weight > b.weight;
    return a.row < b.row;
}

// How heavy entry p of row r is: |value|, or of a pattern (every entry 1),
// the term's rarity, 1 / the rows that hold it. A term no other row holds
// shares nothing and is never chosen (-1), where the column counts are kept.
// Within a list a pattern's row weighs by its shortness: a shared column
// means more to the Jaccard distance of a shorter row.
struct term_weights {
    const int32_t *holders; // per column, the rows holding it; may be null with values
    bool pattern;

    double choose(const csr_rows::row &r, int p) const {
        if (holders && holders[r.cols[p]] < 2) return -1.0;
        if (!pattern) return std::fabs(value_at(r, p));
        return 1.0 / static_cast<double>(holders[r.cols[p]]);
    }
    double in_list(const csr_rows::row &r, int p) const {
        if (!pattern) return std::fabs(value_at(r, p));
        return 1.0 / static_cast<double>(r.nnz);
    }
};

// Row r's up to `most` heaviest entries (ties: the lower column), as
// positions in the row, heaviest first; their count.
int heaviest_entries(const csr_rows::row &r, const term_weights &tw, int most, int *pos) {
    double w[MAX_TERMS_PER_ROW];
    int count = 0;
    for (int p = 0; p < r.nnz; ++p) {
        const double x = tw.choose(r, p);
        if (x < 0.0) continue;
        // Columns ascend, so an equal weight already held keeps its place.
        int at = count;
        while (at > 0 && x > w[at - 1]) --at;
        if (at == most) continue;
        const int last = count < most ? count : most - 1;
        for (int q = last; q > at; --q) {
            w[q] = w[q - 1];
            pos[q] = pos[q - 1];
        }
        w[at] = x;
        pos[at] = p;
        count = last + 1;
    }
    return count;
}

// The `most` rows nearest `self`'s place in its list (at `at`), other than
// self, through emit: the window is centred on the place and moved inside
// the list at its ends.
template <class Emit>
void window_of(const posting *list, const posting *end, const posting *at, int most,
               Emit &&emit) {
    const int64_t len = end - list, place = at - list;
    const int64_t wanted = most < len - 1 ? most : len - 1;
    int64_t lo = place - wanted / 2;
    if (lo + wanted + 1 > len) lo = len - wanted - 1;
    if (lo < 0) lo = 0;
    for (int64_t p = lo; p < lo + wanted + 1; ++p)
        if (p != place) emit(list[p].row);
}

} // namespace

int vornik::knn::shared_term_candidates(const csr_rows &rows, const term_index_settings &s,
                                        term_candidates *out) {
    const int n = rows.n, T = s.terms_per_row;
    if (T < 1 || T > MAX_TERMS_PER_ROW || s.rows_per_term < 1) return 0;
    const int64_t nnz = rows.entries[n].start;
    // A count per column, where the columns are not many more than the
    // entries; a pattern's rarities need it.
    scratch<int32_t> holders;
    if (static_cast<int64_t>(rows.d) <= nnz + n) {
        holders = alloc_scratch<int32_t>(static_cast<uint64_t>(rows.d));
        if (!holders) return MIRNAK_OUT_OF_MEMORY;
        std::fill(holders.get(), holders.get() + rows.d, 0);
        for (int64_t j = 0; j < nnz; ++j) ++holders[rows.cols[j]];
    } else if (!rows.vals) {
        return 0;
    }
    const term_weights tw{holders.get(), !rows.vals};

    const uint64_t slots = static_cast<uint64_t>(n) * T;
    scratch<posting> lists = alloc_scratch<posting>(slots);
    scratch<posting> chosen = alloc_scratch<posting>(slots); // per row, its own entries
    scratch<int64_t> start = alloc_scratch<int64_t>(static_cast<uint64_t>(n) + 1);
    if (!lists || !chosen || !start) return MIRNAK_OUT_OF_MEMORY;
    int64_t count = 0;
    for (int i = 0; i < n; ++i) {
        const csr_rows::row r = rows.at(i);
        int pos[MAX_TERMS_PER_ROW];
        const int c = heaviest_entries(r, tw, T, pos);
        posting *mine = chosen.get() + static_cast<int64_t>(i) * T;
        for (int t = 0; t < T; ++t)
            mine[t] = t < c ? posting{r.cols[pos[t]], i, tw.in_list(r, pos[t])}
                            : posting{-1, i, 0.0};
        for (int t = 0; t < c; ++t) lists[count++] = mine[t];
    }
    std::sort(lists.get(), lists.get() + count, list_order);

    // Row i's candidates: its neighbours in its terms' lists, its heaviest
    // term first. One pass counts them, the next writes them.
    const posting *all = lists.get(), *all_end = all + count;
    auto each_candidate = [&](int i, auto &&emit) {
        const posting *mine = chosen.get() + static_cast<int64_t>(i) * T;
        const auto by_col = [](const posting &a, const posting &b) { return a.col < b.col; };
        for (int t = 0; t < T && mine[t].col >= 0; ++t) {
            const posting *lo = std::lower_bound(all, all_end, mine[t], by_col);
            const posting *hi = std::upper_bound(lo, all_end, mine[t], by_col);
            const posting *at = std::lower_bound(lo, hi, mine[t], list_order);
            window_of(lo, hi, at, s.rows_per_term, emit);
        }
    };
    start[0] = 0;
    for (int i = 0; i < n; ++i) {
        int64_t c = 0;
        each_candidate(i, [&](int32_t) { ++c; });
        start[i + 1] = start[i] + c;
    }
    scratch<int32_t> ids = alloc_scratch<int32_t>(static_cast<uint64_t>(start[n]));
    if (!ids) return MIRNAK_OUT_OF_MEMORY;
    for (int i = 0; i < n; ++i) {
        int32_t *to = ids.get() + start[i];
        each_candidate(i, [&](int32_t j) { *to++ = j; });
    }
    out->start = std::move(start);
    out->ids = std::move(ids);
    return 0;
}
