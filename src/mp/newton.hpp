// The Newton iterations with precision doubling: reciprocal, inverse square
// root of 2 (giving sqrt(1/2)) and square root. Each stops the run with
// " ERROR     Not convergent in <name>" when its budget runs out. Their
// products go through the run's multiplier, `mult`.
#pragma once

#include "mul/mult.hpp"

namespace mp {

// b := 1/x to length n; c holds the previous iterate.
void INV(mul::Multiplier& mult, int x, int b, int c, int n, int maxit);
// a := sqrt(1/2) to length n; b holds the previous iterate.
void SQR05(mul::Multiplier& mult, int a, int b, int n, int maxit);
// b := sqrt(x) to length n; c holds the inverse-square-root iterate and, for
// k >= 3, keeps its leading n/4 + 2 words for the restart of the next call.
// k is the caller's main-loop step, g the outer agreement count: x's leading
// g words are those of the last call's x, whose token x_token is as that
// call returned it. Returns the token of x it leaves for the next call.
mul::Token SQR(mul::Multiplier& mult, int x, int b, int c, int n, int maxit, int k, int g,
               const mul::Token& x_token);

namespace detail {

// The step shared by the three routines: with r holding the residual of the
// iterate y (x y, x y^2 or 2 y^2, close to 1), r := y + y (1 - r), the
// correction halved with `halve`. The correction is formed as whichever of
// 1 - r and r - 1 is not negative, so every stored value stays
// non-negative; subc_len is the length SUBC is given. It returns whether it
// formed 1 - r, which apply_correction needs.
bool form_correction(int r, int len, int subc_len);
void apply_correction(int y, int r, int len, bool halve, bool below_one);

// The step whole: the correction (whose leading half is zero) multiplied by
// y through the half product, handed y_token, what an earlier product left
// of y. Returns the token of y the half product left.
mul::Token newton_update(mul::Multiplier& mult, int y, int r, int len, int subc_len, bool halve,
                         const mul::Token& y_token);

}  // namespace detail

}  // namespace mp
