// layout_reference.h - the layout's arithmetic written out from the rules for
// the tests' references (squared distance, coefficients, clip, learning rate,
// one edge's schedule), sharing no routine with the kernels, which must agree
// with it bit for bit. The per-edge random stream is the kernels' own, checked
// against the worked example.
#ifndef VORNIK_LAYOUT_REFERENCE_H
#define VORNIK_LAYOUT_REFERENCE_H

#include <algorithm>
#include <cmath>

namespace layoutref {

inline float squared_distance(const float *x, const float *y, int dim) {
    float d2 = 0.0f;
    for (int t = 0; t < dim; ++t) d2 = d2 + (x[t] - y[t]) * (x[t] - y[t]);
    return d2;
}

// -2ab d2^(b - 1) / (1 + a d2^b), 0 where the points coincide.
inline float attraction(float d2, float a, float b) {
    if (d2 <= 0.0f) return 0.0f;
    const float pb1 = powf(d2, b - 1.0f);
    return ((-2.0f * a) * b * pb1) / (a * (pb1 * d2) + 1.0f);
}

// 2 gamma b / ((0.001 + d2) (1 + a d2^b)), for d2 > 0.
inline float repulsion(float d2, float a, float b, float gamma) {
    return (2.0f * gamma * b) / ((0.001f + d2) * (a * powf(d2, b) + 1.0f));
}

inline float clip(float v) {
    return std::clamp(v, -4.0f, 4.0f);
}

inline float epoch_alpha(float alpha, int n, int n_epochs) {
    return n == 0 ? alpha : alpha * (1.0f - float(n - 1) / float(n_epochs));
}

// One edge's schedule: epochs per negative sample, next due, drawn up to.
struct edge_schedule {
    double per_neg, due, drawn;

    edge_schedule(float eps, float rate)
        : per_neg(double(eps) / double(rate)), due(eps), drawn(per_neg) {}

    bool due_in(float eps, int n) const { return !(eps <= 0.0f) && !(due > double(n)); }

    // Advances a due edge; the negative samples it owes: the whole per_neg
    // steps between drawn and n.
    int advance(float eps, int n) {
        due += eps;
        const int owed = int((double(n) - drawn) / per_neg);
        if (owed > 0) drawn += double(owed) * per_neg;
        return owed;
    }
};

} // namespace layoutref

#endif // VORNIK_LAYOUT_REFERENCE_H
