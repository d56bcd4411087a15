// The internal side of typed trees: the hook through which curves join
// conversion. The member iterator it walks with has its own header.
#ifndef KELVO_DATA_TYPE_CONVERSION_INTERNAL_H
#define KELVO_DATA_TYPE_CONVERSION_INTERNAL_H

#include "kelvo2/kelvo2_data_type_conversion.h"
#include "data/kelvo_data_type.h"

namespace kelvo {

// The member of a checked definition that name matching (as conversion
// matches members) finds for Name, with the offset of its data; null when
// there is none.
kelvo_data_type_definition const *FindMemberByName(kelvo_data_type_definition const *Type,
                                                   char const *Name, kelvo_int32 &Offset);

// Converts Width number elements in each of Count objects, as the value pass
// of KelvoConvertSingleObject converts one member, for callers that convert
// many objects of one layout (vertices). Null unless both types are numbers
// (Real32Member to UInt32Member).
using element_run_converter = void (*)(kelvo_uint8 *Destination, kelvo_int32 DestinationStride,
                                       kelvo_uint8 const *Source, kelvo_int32 SourceStride,
                                       kelvo_int32 Count, kelvo_int32 Width);
element_run_converter GetElementRunConverter(kelvo_member_type DestinationType,
                                             kelvo_member_type SourceType);

// Curves are records whose data is a variant; conversion always converts
// them (their type never counts as equal to a source type) and brings curves
// of the old form, which has no "CurveData" member, to the current one. A
// module that knows the curve formats installs this; without one, curves
// convert as any record does.
struct curve_conversion {
    kelvo_data_type_definition const *CurveType;
    // Bytes of the data block made for an old-form curve.
    kelvo_int32 OldCurveDataSize;
    // Fills Data from the old-form source and points Curve's data at it.
    void (*ConvertOldCurve)(kelvo_data_type_definition const *SourceType, void const *Source,
                            void *Curve, void *Data);
    // Sets the format byte of the curve's data from the data's type.
    void (*UpdateCurveFormat)(void *Curve);
};
void SetCurveConversion(curve_conversion const *Conversion);

} // namespace kelvo

#endif
