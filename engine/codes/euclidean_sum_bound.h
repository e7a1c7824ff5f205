// A bound for the euclidean batch search: its kernels first compute, per
// (query, vector), the sum of squared differences with each square fused
// into the sum (one instruction per term instead of a multiplication and an
// addition), in any order. That sum is not the reference's, but it is close
// enough to rule most vectors out without their exact distance.
//
// euclidean_sum_limit(kth, dim) is a float L such that, for a vector and a
// query of dimension dim, a fused sum A with A > L proves that the distance
// the kernels compute for them (kernels.h, the reference's bits) is
// strictly greater than kth, so that the vector cannot enter a list whose
// k-th distance is kth. A NaN sum proves nothing (NaN > L is false), nor
// does any sum when kth is NaN, infinite or so large that the limit is not
// a finite float (L is then +inf). The proof is beside the arithmetic in
// euclidean_sum_bound.cpp.
#pragma once

#include <cstddef>

namespace velmoradb {

float euclidean_sum_limit(float kth, std::size_t dim);

}  // namespace velmoradb
