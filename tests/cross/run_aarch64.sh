#!/usr/bin/env bash
# Builds the kernel digest for x86-64 and, with Debian's cross compiler, for
# AArch64 (NEON distance kernels), runs the latter under qemu-user and checks
# that both print exactly the same digests.
set -euo pipefail
cd "$(dirname "$0")/../.."

out=build/cross
mkdir -p "$out"
sources=(tests/cross/kernel_digest.cpp src/knn.cpp src/knn_metric.cpp src/knn_bits.cpp
         src/umap_graph.cpp src/umap_graph_parallel.cpp
         src/umap_layout.cpp src/umap_layout_parallel.cpp src/umap_layout_parts.cpp
         src/umap_layout_substep.cpp src/umap_layout_records.cpp src/powf_fast.cpp
         src/knn_query.cpp src/umap_transform.cpp src/knn_forest.cpp src/knn_query_metric.cpp
         src/umap_inverse.cpp src/umap_layout_density.cpp)
flags=(-std=c++17 -O2 -ffp-contract=off -fno-fast-math -Isrc -pthread)

g++ "${flags[@]}" -o "$out/digest-x86_64" "${sources[@]}" -lm
aarch64-linux-gnu-g++ "${flags[@]}" -static -o "$out/digest-aarch64" "${sources[@]}" -lm

"$out/digest-x86_64" > "$out/x86_64.txt"
qemu-aarch64 "$out/digest-aarch64" > "$out/aarch64.txt"
echo "x86-64 digests:"
cat "$out/x86_64.txt"
if diff -u "$out/x86_64.txt" "$out/aarch64.txt"; then
    echo "aarch64 (qemu-user): identical"
else
    echo "aarch64 results differ from x86-64"
    exit 1
fi
