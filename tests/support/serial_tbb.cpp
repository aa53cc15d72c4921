// Linked into every test of the ThreadSanitizer tree. oneTBB is not instrumented, so its
// scheduler's hand-offs are invisible to the sanitizer: every sample a worker wrote and another
// read would be a report to suppress, one at a time. With one thread allowed, each parallel loop
// runs on the thread that called it, and the threads left are our own, whose synchronisation
// the sanitizer sees.
#include <tbb/global_control.h>

namespace {
const tbb::global_control serialTbb(tbb::global_control::max_allowed_parallelism, 1);
}
