// umap_layout_records.cpp - the parts optimiser's records of touched rows and
// the reduction of a block from them.
#include "umap_layout_records.h"

#include <cmath>
#include <cstring>

namespace vornik {
namespace layout {

namespace {

const int BLOCK_ROWS = 1 << RECORD_BLOCK_SHIFT;

// a * b, or UINT64_MAX where that overflows (an allocation of that many
// elements then fails like malloc).
uint64_t times(uint64_t a, uint64_t b) {
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// A coordinate that adding +0 (or -0) changes: -0 becomes +0, a signalling
// NaN a quiet one.
inline bool moved_by_zero(float v) {
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u == 0x80000000u || ((u & 0x7FC00000u) == 0x7F800000u && (u & 0x003FFFFFu) != 0);
}

bool any_moved_by_zero(const float *x, uint64_t count) {
    bool any = false;
    for (uint64_t j = 0; j < count; ++j) any |= moved_by_zero(x[j]);
    return any;
}

// Block c's rows [r0, r1).
inline void block_rows(const record_layout &L, int c, int64_t *r0, int64_t *r1) {
    *r0 = static_cast<int64_t>(c) << RECORD_BLOCK_SHIFT;
    *r1 = L.n_rows - *r0 < BLOCK_ROWS ? L.n_rows : *r0 + BLOCK_ROWS;
}

// A block moves row by row, record by record, only when its records name
// fewer than one row in SPARSE_SHARE (and every row is plain): otherwise a
// pass over the whole block, which the processor streams, is faster.
const int64_t SPARSE_SHARE = 4;

// Records read ahead of the one being added, and gradient rows ahead of the
// one being filed.
const int AHEAD = 16;
const int FILE_AHEAD = 48;

template <int DIM>
void reduce_block_dim(const record_layout &L, const part_records *parts, int P, int c,
                      float *embedding, float alpha, float *sums, uint8_t *state) {
    const int64_t dim = DIM > 0 ? DIM : L.dim;
    int64_t r0, r1;
    block_rows(L, c, &r0, &r1);
    float *const first = embedding + r0 * dim;
    const uint64_t coords = static_cast<uint64_t>(r1 - r0) * static_cast<uint64_t>(dim);
    if (*state == BLOCK_UNSEEN)
        *state = any_moved_by_zero(first, coords) ? BLOCK_SPECIAL : BLOCK_PLAIN;

    // Each row's records in part order into the block's sums.
    int64_t named = 0;
    for (int p = 0; p < P; ++p) {
        const part_records &rec = parts[p];
        const uint32_t j0 = rec.starts[c], j1 = rec.starts[c + 1];
        if (p + 1 < P) {
            const part_records &after = parts[p + 1];
            __builtin_prefetch(after.rows + after.starts[c]);
            __builtin_prefetch(after.vals + static_cast<int64_t>(after.starts[c]) * dim);
        }
        named += j1 - j0;
        for (uint32_t j = j0; j < j1; ++j) {
            if (j + AHEAD < j1)
                __builtin_prefetch(rec.vals + static_cast<int64_t>(j + AHEAD) * dim);
            float *row = sums + (static_cast<int64_t>(rec.rows[j]) - r0) * dim;
            const float *v = rec.vals + static_cast<int64_t>(j) * dim;
            for (int64_t d = 0; d < dim; ++d) row[d] = row[d] + v[d];
        }
    }

    const bool plain = *state == BLOCK_PLAIN && std::isfinite(alpha);
    if (!plain || named * SPARSE_SHARE >= r1 - r0) {
        // Every row moves by its sum (+0 where no part touched it).
        for (uint64_t v = 0; v < coords; ++v) {
            first[v] = first[v] + sums[v] * alpha;
            sums[v] = 0.0f;
        }
        if (!plain) *state = any_moved_by_zero(first, coords) ? BLOCK_SPECIAL : BLOCK_PLAIN;
        return;
    }
    for (int p = 0; p < P; ++p) {
        const part_records &rec = parts[p];
        for (uint32_t j = rec.starts[c]; j < rec.starts[c + 1]; ++j) {
            const int64_t at = (static_cast<int64_t>(rec.rows[j]) - r0) * dim;
            for (int64_t d = 0; d < dim; ++d) {
                first[at + d] = first[at + d] + sums[at + d] * alpha;
                sums[at + d] = 0.0f;
            }
        }
    }
}

template <int DIM>
void file_records_dim(const record_layout &L, thread_sums &ts, part_records &out) {
    const int64_t dim = DIM > 0 ? DIM : L.dim;
    const int nb = L.n_blocks;
    uint32_t *cursor = ts.touched.per_block;
    const int32_t *rows = ts.touched.rows;
    const int64_t count = ts.touched.count;
    out.starts[0] = 0;
    for (int c = 0; c < nb; ++c) {
        out.starts[c + 1] = out.starts[c] + cursor[c + 1];
        cursor[c] = out.starts[c];
    }
    for (int64_t j = 0; j < count; ++j) {
        if (j + FILE_AHEAD < count)
            __builtin_prefetch(ts.g + static_cast<int64_t>(rows[j + FILE_AHEAD]) * dim);
        const int32_t r = rows[j];
        const uint32_t at = cursor[r >> RECORD_BLOCK_SHIFT]++;
        out.rows[at] = r;
        const float *src = ts.g + static_cast<int64_t>(r) * dim;
        float *dst = out.vals + static_cast<int64_t>(at) * dim;
        for (int64_t d = 0; d < dim; ++d) dst[d] = src[d];
        ts.touched.marks[static_cast<uint32_t>(r) >> 6] = 0;
    }
    ts.touched.count = 0;
    std::memset(cursor, 0, sizeof(uint32_t) * (static_cast<size_t>(nb) + 1));
}

} // namespace

record_layout make_record_layout(int n_rows, int dim, int64_t n_edges, int n_substeps,
                                 int n_parts) {
    record_layout L;
    L.n_rows = n_rows;
    L.dim = dim;
    L.n_blocks =
        static_cast<int>((static_cast<int64_t>(n_rows) + BLOCK_ROWS - 1) >> RECORD_BLOCK_SHIFT);
    // A substep holds at most ceil(n_edges / S) edges, a share at most
    // ceil of that over P, each touching two rows.
    const uint64_t K = static_cast<uint64_t>((n_edges + n_substeps - 1) / n_substeps);
    const uint64_t P = static_cast<uint64_t>(n_parts);
    const uint64_t share = (K + P - 1) / P;
    L.capacity = 2 * share < static_cast<uint64_t>(n_rows) ? 2 * share : n_rows;
    return L;
}

void file_records(const record_layout &L, thread_sums &ts, part_records &out) {
    if (L.dim == 2) return file_records_dim<2>(L, ts, out);
    file_records_dim<0>(L, ts, out);
}

void reduce_block(const record_layout &L, const part_records *parts, int P, int c, float *embedding,
                  float alpha, float *sums, uint8_t *state) {
    if (L.dim == 2) return reduce_block_dim<2>(L, parts, P, c, embedding, alpha, sums, state);
    reduce_block_dim<0>(L, parts, P, c, embedding, alpha, sums, state);
}

bool allocate_records(const record_layout &L, int P, int T, record_scratch *rs) {
    const uint64_t dim = static_cast<uint64_t>(L.dim);
    const uint64_t per_part = times(static_cast<uint64_t>(P), L.capacity);
    const uint64_t starts = static_cast<uint64_t>(L.n_blocks) + 1;
    const uint64_t emb_len = static_cast<uint64_t>(L.n_rows) * dim;
    const uint64_t words = (static_cast<uint64_t>(L.n_rows) + 63) / 64;
    rs->rows = alloc_scratch<int32_t>(per_part);
    rs->vals = alloc_scratch<float>(times(per_part, dim));
    rs->starts = alloc_scratch<uint32_t>(times(static_cast<uint64_t>(P), starts));
    rs->parts = alloc_scratch<part_records>(static_cast<uint64_t>(P));
    rs->g = alloc_scratch<float>(times(static_cast<uint64_t>(T), emb_len));
    rs->marks = alloc_scratch<uint64_t>(times(static_cast<uint64_t>(T), words));
    rs->touched = alloc_scratch<int32_t>(times(static_cast<uint64_t>(T), L.capacity));
    rs->cursor = alloc_scratch<uint32_t>(times(static_cast<uint64_t>(T), starts));
    const uint64_t block_len = static_cast<uint64_t>(BLOCK_ROWS) * dim;
    rs->block = alloc_scratch<float>(times(static_cast<uint64_t>(T), block_len));
    rs->threads = alloc_scratch<thread_sums>(static_cast<uint64_t>(T));
    rs->state = alloc_scratch<uint8_t>(static_cast<uint64_t>(L.n_blocks));
    if (!rs->rows || !rs->vals || !rs->starts || !rs->parts || !rs->g || !rs->marks ||
        !rs->touched || !rs->cursor || !rs->block || !rs->threads || !rs->state)
        return false;
    std::memset(rs->cursor.get(), 0, sizeof(uint32_t) * starts * static_cast<uint64_t>(T));
    std::memset(rs->block.get(), 0, sizeof(float) * block_len * static_cast<uint64_t>(T));
    std::memset(rs->marks.get(), 0, sizeof(uint64_t) * words * static_cast<uint64_t>(T));
    std::memset(rs->state.get(), BLOCK_UNSEEN, static_cast<size_t>(L.n_blocks));
    for (int p = 0; p < P; ++p) {
        part_records &pr = rs->parts[p];
        pr.rows = rs->rows.get() + static_cast<uint64_t>(p) * L.capacity;
        pr.vals = rs->vals.get() + static_cast<uint64_t>(p) * L.capacity * dim;
        pr.starts = rs->starts.get() + static_cast<uint64_t>(p) * starts;
    }
    for (int t = 0; t < T; ++t) {
        thread_sums &ts = rs->threads[t];
        ts.g = rs->g.get() + static_cast<uint64_t>(t) * emb_len;
        ts.touched.marks = rs->marks.get() + static_cast<uint64_t>(t) * words;
        ts.touched.rows = rs->touched.get() + static_cast<uint64_t>(t) * L.capacity;
        ts.touched.count = 0;
        ts.touched.per_block = rs->cursor.get() + static_cast<uint64_t>(t) * starts;
        ts.touched.block_shift = RECORD_BLOCK_SHIFT;
        ts.block = rs->block.get() + static_cast<uint64_t>(t) * block_len;
    }
    return true;
}

} // namespace layout
} // namespace vornik
