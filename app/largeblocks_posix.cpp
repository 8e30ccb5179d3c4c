// Large blocks and the GNU C library's allocator.

#include "app/largeblocks.h"

// Any header of the C library says which library it is.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Blocks of this size or more get pages of their own, given back when freed. Setting the
// threshold also stops glibc from raising it after each large block freed, which is
// what would otherwise keep such blocks in the freeing thread's arena.
constexpr int LargeBlockBytes = 1024 * 1024;
// Free memory at the top of a heap beyond this goes back too: glibc's own default, which
// it raises along with the threshold above (a large block freed while the libraries
// load is enough), and which is set back here.
constexpr int TrimBytes = 128 * 1024;

} // namespace

void returnLargeBlocksAtOnce()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, LargeBlockBytes);
    mallopt(M_TRIM_THRESHOLD, TrimBytes);
#endif
}
