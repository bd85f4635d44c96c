// The Newton iterations with precision doubling: reciprocal, inverse square
// root of 2 (giving sqrt(1/2)) and square root. Each stops the run with
// " ERROR     Not convergent in <name>" when its budget runs out.
#pragma once

namespace mp {

// b := 1/x to length n; c holds the previous iterate.
void INV(int x, int b, int c, int n, int maxit);
// a := sqrt(1/2) to length n; b holds the previous iterate.
void SQR05(int a, int b, int n, int maxit);
// b := sqrt(x) to length n; c holds the inverse-square-root iterate and, for
// k >= 3, keeps its leading n/4 + 2 words for the restart of the next call.
// k is the caller's main-loop step, g the outer agreement count it left.
void SQR(int x, int b, int c, int n, int maxit, int k, int g);

}  // namespace mp
