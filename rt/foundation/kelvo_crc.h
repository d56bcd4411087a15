// CRC-32 (reflected, polynomial 0xEDB88320): one routine for files, writers
// and the exports.
#ifndef KELVO_CRC_H
#define KELVO_CRC_H

#include "kelvo2/kelvo2_types.h"

namespace kelvo {

// Adds Count bytes to a running CRC (begun at 0xFFFFFFFF, complemented at the end).
kelvo_uint32 UpdateCRC32(kelvo_uint32 CRC, kelvo_uint32 Count, void const *Data);

#if defined(__x86_64__) || defined(__i386__)
// The carry-less multiply route (rt/x86/): Count is a multiple of 16, at least 64.
bool ProcessorHasCarrylessMultiply();
kelvo_uint32 UpdateCRC32Carryless(kelvo_uint32 CRC, kelvo_uint32 Count, kelvo_uint8 const *Bytes);
#endif

} // namespace kelvo

#endif
