// The first Fenwa1 decoder, kept as the reference that the library's decoder
// is checked and measured against. Same contract as kelvo::Fenwa1DecodePieces:
// the caller has made the checks kelvo::DecodePieces makes.
#ifndef KELVO_FENWA1_REFERENCE_H
#define KELVO_FENWA1_REFERENCE_H

#include "kelvo2/kelvo2_types.h"

namespace kelvo {

bool ReferenceFenwa1DecodePieces(bool ByteReversed, kelvo_int32 StoredSize,
                                 void const *StoredBytes, kelvo_int32 PieceCount,
                                 kelvo_int32 const *Stops, kelvo_int32 ExpandedSize,
                                 void *Destination);

} // namespace kelvo

#endif
