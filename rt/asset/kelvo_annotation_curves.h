// Curves stored as vertex annotations (morph curves): an annotation set's
// records are curves themselves or carry inline curve members. The file
// check and basis conversion walk them the same way.
#ifndef KELVO_ANNOTATION_CURVES_H
#define KELVO_ANNOTATION_CURVES_H

#include "kelvo2/kelvo2_data_type.h"
#include "kelvo2/kelvo2_file_info.h"

namespace kelvo {

inline bool IsCurveType(kelvo_data_type_definition const *Type) {
    return Type && KelvoDataTypesAreEqualWithNames(Type, KelvoCurve2Type);
}

// Calls Visit(kelvo_curve2 *) on each curve of the set.
template <typename Visitor>
void ForEachAnnotationCurve(kelvo_vertex_annotation_set const &Set, Visitor Visit) {
    kelvo_data_type_definition const *Type = Set.VertexAnnotationType;
    if (!Type || !Set.VertexAnnotations) {
        return;
    }
    auto *Annotations = static_cast<kelvo_uint8 *>(Set.VertexAnnotations);
    kelvo_int32 Size = KelvoGetTotalObjectSize(Type);
    bool WholeCurves = IsCurveType(Type);
    for (kelvo_int32 Index = 0; Index < Set.VertexAnnotationCount; ++Index) {
        kelvo_uint8 *Annotation = Annotations + (kelvo_int64)Index * Size;
        if (WholeCurves) {
            Visit(reinterpret_cast<kelvo_curve2 *>(Annotation));
            continue;
        }
        kelvo_int32 Offset = 0;
        for (kelvo_data_type_definition const *Member = Type; Member->Type != KelvoEndMember;
             ++Member) {
            if (Member->Type == KelvoInlineMember && IsCurveType(Member->ReferenceType)) {
                Visit(reinterpret_cast<kelvo_curve2 *>(Annotation + Offset));
            }
            Offset += KelvoGetMemberTypeSize(Member);
        }
    }
}

} // namespace kelvo

#endif
