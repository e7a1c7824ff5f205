// Running out of memory: what the system does when an allocation fails.
//
// - Every allocation throws std::bad_alloc, as operator new does: the
//   standard containers, VectorArena's growth (vector_arena.h) and
//   HugePageAllocator (huge_pages.h) alike. No allocation ends the process
//   by itself.
// - The collection turns the exception into an error value where it can:
//   a call from Python raises MemoryError, and a load in the background
//   reports the failure to the next call.
// - Optional work is given up: a build of bound codes that runs out of
//   memory leaves the codes off, and searches scan.
// - Code that cannot recover (a thread pool's task, a noexcept function)
//   lets the exception end the process.
//
// This header holds no code: it is the one statement of that policy, to
// which the allocating code refers.
#pragma once
