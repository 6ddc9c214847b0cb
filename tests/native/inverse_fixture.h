// inverse_fixture.h - what the inverse points tests share: a random fitted
// set and points to map back, with an empty slot, a repeated id and a point
// on a fitted point among them, run through the exported kernel.
#ifndef VORNIK_INVERSE_FIXTURE_H
#define VORNIK_INVERSE_FIXTURE_H

#include <cstdint>
#include <random>
#include <vector>

#include "vornik_kernels.h"

namespace inverse_test {

const int N = 200, D = 7, DIM = 2, M = 150, K = 6;
const mirnak_inverse_run CURVE = {1.577f, 0.895f};

struct inverse_problem {
    std::vector<float> data, embedding, points;
    std::vector<int32_t> ids;

    inverse_problem() {
        std::mt19937 gen(3);
        std::normal_distribution<float> nd(0.0f, 2.0f);
        std::uniform_int_distribution<int> id(0, N - 1);
        for (int i = 0; i < N * D; ++i) data.push_back(nd(gen));
        for (int i = 0; i < N * DIM; ++i) embedding.push_back(nd(gen));
        for (int i = 0; i < M * DIM; ++i) points.push_back(nd(gen));
        for (int i = 0; i < M * K; ++i) ids.push_back(id(gen));
        ids[5] = -1; // an empty slot
        ids[K + 1] = ids[K]; // a repeated id counts twice
        // Point 2 sits on a fitted point.
        for (int d = 0; d < DIM; ++d) points[2 * DIM + d] = embedding[ids[2 * K] * DIM + d];
    }

    mirnak_fitted_points fitted() const { return {data.data(), embedding.data(), N, D, DIM}; }

    int run(std::vector<float> &out, std::vector<float> *weights, int threads, int m = M,
            int first = 0, mirnak_control *ctl = nullptr) const {
        out.assign(size_t(m) * D, -7.0f);
        if (weights) weights->assign(size_t(m) * K, -7.0f);
        const mirnak_fitted_points f = fitted();
        return mirnak_umap_inverse_points_f32(&f, m, points.data() + first * DIM,
                                              ids.data() + first * K, K, &CURVE, out.data(),
                                              weights ? weights->data() : nullptr, threads, ctl);
    }
};

} // namespace inverse_test

#endif // VORNIK_INVERSE_FIXTURE_H
