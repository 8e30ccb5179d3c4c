// Large blocks on Windows: its heap allocates them from the system and gives them back
// when they are freed, so there is nothing to set.

#include "app/largeblocks.h"

void returnLargeBlocksAtOnce() {}
