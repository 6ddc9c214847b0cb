// umap_layout_records.h - the parts optimiser's compact gradients: the rows
// a part of a substep touched, with their sums, filed by reduction block, and
// the reduction of one block from every part's records.
//
// A part adds its gradients into its thread's buffer (laid out like the
// embedding; a row is cleared when the part first touches it) and lists the
// rows it adds to; it then files each listed row's sums as a record of its
// own, by block. A block of the reduction adds up, row by row, the
// records of every part in part order, and moves the rows.
//
// The sums are those of one full buffer per part added in part order: a part
// that did not touch a row holds +0 there, and adding +0 changes no sum that
// starts from +0 (such a sum is never -0, nor is any part's buffer entry).
// A row no part touched would move by +0 * alpha, which changes nothing
// unless the row holds a -0 or a signalling NaN (the addition makes them +0
// and a quiet NaN) or alpha is not finite (it makes a NaN); a block with such
// a row, or every block in an epoch with such an alpha, is moved whole.
// Moving a touched row twice (two parts filed it) adds +0 * alpha the second
// time, which changes nothing either outside such blocks.
#ifndef VORNIK_UMAP_LAYOUT_RECORDS_H
#define VORNIK_UMAP_LAYOUT_RECORDS_H

#include <cstdint>

#include "scratch.h"
#include "umap_layout_substep.h"

namespace vornik {
namespace layout {

// Rows per reduction block: 4,096.
const int RECORD_BLOCK_SHIFT = 12;

// The sizes records are cut by.
struct record_layout {
    int n_rows;
    int dim;
    int n_blocks;      // reduction blocks of a substep
    uint64_t capacity; // records a part may file: the most rows its share touches
};

// The layout of a run of n_rows x dim whose n_edges edges are cut into
// n_substeps substeps of n_parts parts each.
record_layout make_record_layout(int n_rows, int dim, int64_t n_edges, int n_substeps, int n_parts);

// One part's records of the current substep: those of block c are
// j = starts[c] ... starts[c + 1] - 1, row rows[j] with sums vals[j * dim ...].
struct part_records {
    int32_t *rows;
    float *vals;
    uint32_t *starts; // n_blocks + 1
};

// One thread's gradient buffer (n_rows x dim; only the rows the current part
// touched are meaningful), the rows its current part touched (counted by
// block), and the sums of one reduction
// block (4,096 x dim, zero between tickets).
struct thread_sums {
    float *g;
    touched_rows touched;
    float *block;
};

// Files the rows ts.touched lists as out's records, by block and within a
// block in the order they were touched; the marks, counts and list are left
// clear.
void file_records(const record_layout &L, thread_sums &ts, part_records &out);

// What a block's reduction knows of its rows: nothing yet, or whether one of
// them holds a -0 or a signalling NaN (then the block moves whole).
enum block_state : uint8_t { BLOCK_UNSEEN, BLOCK_PLAIN, BLOCK_SPECIAL };

// The reduction of block c: every row the P parts' records name moves by the
// sum of its records in part order times alpha. sums is the calling
// thread's block of sums (zero, and left zero); *state is the block's own,
// read and written only by its reductions.
void reduce_block(const record_layout &L, const part_records *parts, int P, int c, float *embedding,
                  float alpha, float *sums, uint8_t *state);

// The records of P parts, the buffers of T threads and the blocks' states.
struct record_scratch {
    scratch<int32_t> rows;
    scratch<float> vals;
    scratch<uint32_t> starts;
    scratch<part_records> parts;
    scratch<float> g;
    scratch<uint64_t> marks;
    scratch<int32_t> touched;
    scratch<uint32_t> cursor;
    scratch<float> block;
    scratch<thread_sums> threads;
    scratch<uint8_t> state;
};

// Allocates it all (every allocation before any is checked) and clears what
// must start clear (the gradient buffers need not).
// False when memory runs out.
bool allocate_records(const record_layout &L, int P, int T, record_scratch *rs);

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_LAYOUT_RECORDS_H
