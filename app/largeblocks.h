// How the process keeps memory it has let go of.
#pragma once

// Memory of large blocks goes back to the system as soon as it is freed. A hostile log's
// values of megabytes are read, rendered and let go by several threads; a C library that
// keeps such memory for the thread that freed it, as glibc does by default once it has
// seen a large block freed, would have the window hold hundreds of megabytes for nothing.
// Call once, first thing in main(). Windows's heap gives large blocks back by itself, and
// there it does nothing.
void returnLargeBlocksAtOnce();
