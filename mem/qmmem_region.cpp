// qmmem_region.cpp - where the debug heap gets its regions: the system
// allocator, through MEM_GetMemory_cb (qmmem.h). Traces nothing; keeps no
// state (the heap owns every region for good).
#include <cstdlib>

#include "qmmem.h"

// Hands the debug heap a new region of exactly *size bytes from the system
// allocator; the heap keeps it for good. The size stays as asked. A missing
// or negative count gets null at once instead of an absurd system request.
extern "C" void *MEM_GetMemory_cb(int32_t *size) {
  if (size == nullptr || *size < 0) return nullptr;
  return std::malloc(static_cast<size_t>(static_cast<int64_t>(*size)));
}
