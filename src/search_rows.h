// search_rows.h - how the search forest and the neighbour query reach rows
// and measure them: a space of the kNN search (knn_space.h) seen from its
// training rows and its query rows.
//
// The forest (knn_forest.h) and the query's walk (knn_query_walk.h) are
// written once over a policy, which says what a row is and gives:
//   distance(r, i)        the space's distance from row r to training point i,
//   distance4(r, ids, out, bound)  four of them (a bound lets the space stop
//                          early once every partial result has reached it; a
//                          result is then not above its full value),
//   fetch(i)              a prefetch of training point i,
//   train(i), query(q)    training point i and query row q as rows,
//   split_bytes()         the scratch a split needs,
//   make_split(a, b, s)   the split of a tree node drawn at training points a
//                          and b, into the scratch s,
//   split_value(r, s)     a row's value under that split: the node sends rows
//                          below its threshold left, the others right,
//   split_values(ids, m, s, out)  the values of m training points, the same
//                          bits as split_value of each.
// A split value is a pure function of the row, a, b and the training points:
// the same bits when the forest is built and when it is queried. Any space
// whose split rule has the stored form (plane_of, value, project) serves:
// dense rows split by hyperplanes under every dense measure, bit rows by the
// hyperplanes of their unpacked bits.
#ifndef VORNIK_SEARCH_ROWS_H
#define VORNIK_SEARCH_ROWS_H

#include <cstdint>

#include "knn_space.h"

namespace vornik {
namespace knn {

// Space S's training rows and query rows: two stores of one kind, the query
// store with the training store's settings (width, measure) and the query
// rows in place of the training rows.
template <class S> struct space_rows {
    using space = S;
    using store = typename S::store;
    using row = typename S::row;

    store train_rows;
    store query_rows;

    VORNIK_ALWAYS_INLINE row train(int64_t i) const { return train_rows.at(i); }
    VORNIK_ALWAYS_INLINE row query(int64_t q) const { return query_rows.at(q); }

    VORNIK_ALWAYS_INLINE float distance(row r, int32_t i) const {
        return S::dist(train_rows, r, train(i));
    }

    VORNIK_ALWAYS_INLINE void distance4(row r, const int32_t *ids, float *out,
                                        const float *bound) const {
        const row rows[4] = {train(ids[0]), train(ids[1]), train(ids[2]), train(ids[3])};
        S::dist4(train_rows, r, rows, out, bound);
    }

    VORNIK_ALWAYS_INLINE void fetch(int32_t i) const { train_rows.prefetch(train(i)); }

    uint64_t split_bytes() const { return S::split::plane_bytes(train_rows); }

    VORNIK_ALWAYS_INLINE void make_split(int32_t a, int32_t b, void *plane) const {
        S::split::plane_of(train_rows, train(a), train(b), plane);
    }

    VORNIK_ALWAYS_INLINE double split_value(row r, const void *plane) const {
        return S::split::value(train_rows, r, plane);
    }

    VORNIK_ALWAYS_INLINE void split_values(const int32_t *ids, int m, const void *plane,
                                           double *out) const {
        S::split::project(train_rows, ids, m, plane, out);
    }
};

} // namespace knn
} // namespace vornik

#endif // VORNIK_SEARCH_ROWS_H
