// The asset type tree: the definitions of the file info and of every record
// it reaches, the vertex layouts and their names, the registry of defined
// types, and the file info of a loaded file in this layout. The C
// records of kelvo2_file_info.h are checked against these tables while
// compiling, for this build's pointers and for the 4-byte pointers of the
// sizes files and callers know.
#include "asset/kelvo_file_info.h"

#include "kelvo2/kelvo2_file.h"
#include "asset/kelvo_asset_check.h"
#include "asset/kelvo_curve_formats.h"
#include "data/kelvo_data_type.h"
#include "file/kelvo_file.h"

#include <stddef.h>

namespace kelvo {


// Materials and their maps refer to each other.
extern kelvo_data_type_definition const MaterialMembers[];

constexpr kelvo_data_type_definition ArtToolInfoMembers[] = {
    MakeMember(KelvoStringMember, "FromArtToolName"),
    MakeMember(KelvoInt32Member, "ArtToolMajorRevision"),
    MakeMember(KelvoInt32Member, "ArtToolMinorRevision"),
    MakeMember(KelvoReal32Member, "UnitsPerMeter"),
    MakeMember(KelvoReal32Member, "Origin", nullptr, 3),
    MakeMember(KelvoReal32Member, "RightVector", nullptr, 3),
    MakeMember(KelvoReal32Member, "UpVector", nullptr, 3),
    MakeMember(KelvoReal32Member, "BackVector", nullptr, 3),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition ExporterInfoMembers[] = {
    MakeMember(KelvoStringMember, "ExporterName"),
    MakeMember(KelvoInt32Member, "ExporterMajorRevision"),
    MakeMember(KelvoInt32Member, "ExporterMinorRevision"),
    MakeMember(KelvoInt32Member, "ExporterCustomization"),
    MakeMember(KelvoInt32Member, "ExporterBuildNumber"),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition PixelLayoutMembers[] = {
    MakeMember(KelvoInt32Member, "BytesPerPixel"),
    MakeMember(KelvoInt32Member, "ShiftForComponent", nullptr, 4),
    MakeMember(KelvoInt32Member, "BitsForComponent", nullptr, 4), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TextureMIPLevelMembers[] = {
    MakeMember(KelvoInt32Member, "Stride"),
    MakeMember(KelvoReferenceToArrayMember, "PixelBytes", UInt8Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TextureImageMembers[] = {
    MakeMember(KelvoReferenceToArrayMember, "MIPLevels", TextureMIPLevelMembers),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TextureMembers[] = {
    MakeMember(KelvoStringMember, "FromFileName"),
    MakeMember(KelvoInt32Member, "TextureType"),
    MakeMember(KelvoInt32Member, "Width"),
    MakeMember(KelvoInt32Member, "Height"),
    MakeMember(KelvoInt32Member, "Encoding"),
    MakeMember(KelvoInt32Member, "SubFormat"),
    MakeMember(KelvoInlineMember, "Layout", PixelLayoutMembers),
    MakeMember(KelvoReferenceToArrayMember, "Images", TextureImageMembers),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition MaterialMapMembers[] = {
    MakeMember(KelvoStringMember, "Usage"),
    MakeMember(KelvoReferenceMember, "Map", MaterialMembers), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition MaterialMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReferenceToArrayMember, "Maps", MaterialMapMembers),
    MakeMember(KelvoReferenceMember, "Texture", TextureMembers),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition BoneMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoInt32Member, "ParentIndex"),
    MakeMember(KelvoTransformMember, "Transform"),
    MakeMember(KelvoReal32Member, "InverseWorldTransform", nullptr, 16),
    MakeMember(KelvoReal32Member, "LODError"),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition SkeletonMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReferenceToArrayMember, "Bones", BoneMembers),
    MakeMember(KelvoInt32Member, "LODType"), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexAnnotationSetMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReferenceToVariantArrayMember, "VertexAnnotations"),
    MakeMember(KelvoInt32Member, "IndicesMapFromVertexToAnnotation"),
    MakeMember(KelvoReferenceToArrayMember, "VertexAnnotationIndices", Int32Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexDataMembers[] = {
    MakeMember(KelvoReferenceToVariantArrayMember, "Vertices"),
    MakeMember(KelvoReferenceToArrayMember, "VertexComponentNames", StringMembers),
    MakeMember(KelvoReferenceToArrayMember, "VertexAnnotationSets", VertexAnnotationSetMembers),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TriMaterialGroupMembers[] = {
    MakeMember(KelvoInt32Member, "MaterialIndex"), MakeMember(KelvoInt32Member, "TriFirst"),
    MakeMember(KelvoInt32Member, "TriCount"), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TriAnnotationSetMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReferenceToVariantArrayMember, "TriAnnotations"),
    MakeMember(KelvoInt32Member, "IndicesMapFromTriToAnnotation"),
    MakeMember(KelvoReferenceToArrayMember, "TriAnnotationIndices", Int32Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TriTopologyMembers[] = {
    MakeMember(KelvoReferenceToArrayMember, "Groups", TriMaterialGroupMembers),
    MakeMember(KelvoReferenceToArrayMember, "Indices", Int32Members),
    MakeMember(KelvoReferenceToArrayMember, "Indices16", Int16Members),
    MakeMember(KelvoReferenceToArrayMember, "VertexToVertexMap", Int32Members),
    MakeMember(KelvoReferenceToArrayMember, "VertexToTriangleMap", Int32Members),
    MakeMember(KelvoReferenceToArrayMember, "SideToNeighborMap", Int32Members),
    MakeMember(KelvoReferenceToArrayMember, "BonesForTriangle", Int32Members),
    MakeMember(KelvoReferenceToArrayMember, "TriangleToBoneIndices", Int32Members),
    MakeMember(KelvoReferenceToArrayMember, "TriAnnotationSets", TriAnnotationSetMembers),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition MorphTargetMembers[] = {
    MakeMember(KelvoStringMember, "ScalarName"),
    MakeMember(KelvoReferenceMember, "VertexData", VertexDataMembers), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition MaterialBindingMembers[] = {
    MakeMember(KelvoReferenceMember, "Material", MaterialMembers), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition BoneBindingMembers[] = {
    MakeMember(KelvoStringMember, "BoneName"), MakeMember(KelvoReal32Member, "OBBMin", nullptr, 3),
    MakeMember(KelvoReal32Member, "OBBMax", nullptr, 3),
    MakeMember(KelvoReferenceToArrayMember, "TriangleIndices", Int32Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition MeshMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReferenceMember, "PrimaryVertexData", VertexDataMembers),
    MakeMember(KelvoReferenceToArrayMember, "MorphTargets", MorphTargetMembers),
    MakeMember(KelvoReferenceMember, "PrimaryTopology", TriTopologyMembers),
    MakeMember(KelvoReferenceToArrayMember, "MaterialBindings", MaterialBindingMembers),
    MakeMember(KelvoReferenceToArrayMember, "BoneBindings", BoneBindingMembers),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition ModelMeshBindingMembers[] = {
    MakeMember(KelvoReferenceMember, "Mesh", MeshMembers), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition ModelMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReferenceMember, "Skeleton", SkeletonMembers),
    MakeMember(KelvoTransformMember, "InitialPlacement"),
    MakeMember(KelvoReferenceToArrayMember, "MeshBindings", ModelMeshBindingMembers),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition Curve2Members[] = {
    MakeMember(KelvoVariantReferenceMember, "CurveData"), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition OldCurveMembers[] = {
    MakeMember(KelvoInt32Member, "Degree"),
    MakeMember(KelvoReferenceToArrayMember, "Knots", Real32Members),
    MakeMember(KelvoReferenceToArrayMember, "Controls", Real32Members), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VectorTrackMembers[] = {
    MakeMember(KelvoStringMember, "Name"), MakeMember(KelvoInt32Member, "Dimension"),
    MakeMember(KelvoInlineMember, "ValueCurve", Curve2Members), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TransformTrackMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoInt32Member, "Flags"),
    MakeMember(KelvoInlineMember, "OrientationCurve", Curve2Members),
    MakeMember(KelvoInlineMember, "PositionCurve", Curve2Members),
    MakeMember(KelvoInlineMember, "ScaleShearCurve", Curve2Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TextTrackEntryMembers[] = {
    MakeMember(KelvoReal32Member, "TimeStamp"), MakeMember(KelvoStringMember, "Text"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TextTrackMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReferenceToArrayMember, "Entries", TextTrackEntryMembers),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition PeriodicLoopMembers[] = {
    MakeMember(KelvoReal32Member, "Radius"),
    MakeMember(KelvoReal32Member, "dAngle"),
    MakeMember(KelvoReal32Member, "dZ"),
    MakeMember(KelvoReal32Member, "BasisX", nullptr, 3),
    MakeMember(KelvoReal32Member, "BasisY", nullptr, 3),
    MakeMember(KelvoReal32Member, "Axis", nullptr, 3),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition TrackGroupMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReferenceToArrayMember, "VectorTracks", VectorTrackMembers),
    MakeMember(KelvoReferenceToArrayMember, "TransformTracks", TransformTrackMembers),
    MakeMember(KelvoReferenceToArrayMember, "TransformLODErrors", Real32Members),
    MakeMember(KelvoReferenceToArrayMember, "TextTracks", TextTrackMembers),
    MakeMember(KelvoTransformMember, "InitialPlacement"),
    MakeMember(KelvoInt32Member, "AccumulationFlags"),
    MakeMember(KelvoReal32Member, "LoopTranslation", nullptr, 3),
    MakeMember(KelvoReferenceMember, "PeriodicLoop", PeriodicLoopMembers),
    MakeMember(KelvoReferenceMember, "RootMotion", TransformTrackMembers),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition AnimationMembers[] = {
    MakeMember(KelvoStringMember, "Name"),
    MakeMember(KelvoReal32Member, "Duration"),
    MakeMember(KelvoReal32Member, "TimeStep"),
    MakeMember(KelvoReal32Member, "Oversampling"),
    MakeMember(KelvoArrayOfReferencesMember, "TrackGroups", TrackGroupMembers),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexWeightArraysMembers[] = {
    MakeMember(KelvoReal32Member, "BoneWeights", nullptr, 256),
    MakeMember(KelvoUInt32Member, "BoneIndices", nullptr, 256), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition FileInfoMembers[] = {
    MakeMember(KelvoReferenceMember, "ArtToolInfo", ArtToolInfoMembers),
    MakeMember(KelvoReferenceMember, "ExporterInfo", ExporterInfoMembers),
    MakeMember(KelvoStringMember, "FromFileName"),
    MakeMember(KelvoArrayOfReferencesMember, "Textures", TextureMembers),
    MakeMember(KelvoArrayOfReferencesMember, "Materials", MaterialMembers),
    MakeMember(KelvoArrayOfReferencesMember, "Skeletons", SkeletonMembers),
    MakeMember(KelvoArrayOfReferencesMember, "VertexDatas", VertexDataMembers),
    MakeMember(KelvoArrayOfReferencesMember, "TriTopologies", TriTopologyMembers),
    MakeMember(KelvoArrayOfReferencesMember, "Meshes", MeshMembers),
    MakeMember(KelvoArrayOfReferencesMember, "Models", ModelMembers),
    MakeMember(KelvoArrayOfReferencesMember, "TrackGroups", TrackGroupMembers),
    MakeMember(KelvoArrayOfReferencesMember, "Animations", AnimationMembers),
    MakeMember(KelvoVariantReferenceMember, "ExtendedData"),
    MakeMember(KelvoEndMember)};

// ---- vertex layouts -----------------------------------------------------------

constexpr kelvo_data_type_definition VertexGBX333Members[] = {
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TangentBinormalCross", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexP3Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPN33Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPNG333Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPNGB3333Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPNGBT33332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPNGBT33333Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 3),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPNGT3332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPNT332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPNT333Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPT32Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWN313Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoUInt32Member, "BoneIndices", nullptr, 1),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWN323Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 2),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 2),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWN343Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 4),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 4),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNG3133Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoUInt32Member, "BoneIndices", nullptr, 1),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNG3233Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 2),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 2),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNG3433Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 4),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 4),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGB31333Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoUInt32Member, "BoneIndices", nullptr, 1),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGB32333Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 2),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 2),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGB34333Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 4),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 4),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGBT313332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoUInt32Member, "BoneIndices", nullptr, 1),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGBT323332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 2),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 2),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGBT343332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 4),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 4),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "Binormal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGT31332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoUInt32Member, "BoneIndices", nullptr, 1),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 3),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGT32332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 2),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 2),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNGT34332Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 4),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 4),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "Tangent", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNT3132Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoUInt32Member, "BoneIndices", nullptr, 1),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNT3232Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 2),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 2),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition VertexPWNT3432Members[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoNormalUInt8Member, "BoneWeights", nullptr, 4),
    MakeMember(KelvoUInt8Member, "BoneIndices", nullptr, 4),
    MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
    MakeMember(KelvoReal32Member, "TextureCoordinates0", nullptr, 2),
    MakeMember(KelvoEndMember)};

// ---- the C records match the definitions ------------------------------------

// Size with 4-byte pointers as files and callers know it, and this build's
// record as the definition measures it.
#define KELVO_CHECK_RECORD(Record, Members, Size32)                                                \
    static_assert(ConstantObjectSize(Members, 32) == (Size32));                                    \
    static_assert(sizeof(Record) == (size_t)ConstantObjectSize(Members, NativePointerSizeInBits))
#define KELVO_MEMBER_OFFSET(Members, Name)                                                         \
    ConstantMemberOffset(Members, Name, NativePointerSizeInBits)
#define KELVO_CHECK_MEMBER(Record, Members, Field)                                                 \
    static_assert(offsetof(Record, Field) == (size_t)KELVO_MEMBER_OFFSET(Members, #Field))
// An array member is its count, then its pointer.
#define KELVO_CHECK_ARRAY(Record, Members, CountField, Field)                                      \
    static_assert(offsetof(Record, CountField) == (size_t)KELVO_MEMBER_OFFSET(Members, #Field));   \
    static_assert(offsetof(Record, Field) == offsetof(Record, CountField) + 4)
// A variant array is its element type, its count, then its pointer.
#define KELVO_CHECK_VARIANT_ARRAY(Record, Members, TypeField, CountField, Field)                   \
    static_assert(offsetof(Record, TypeField) == (size_t)KELVO_MEMBER_OFFSET(Members, #Field));    \
    static_assert(offsetof(Record, CountField) == offsetof(Record, TypeField) + sizeof(void *));   \
    static_assert(offsetof(Record, Field) == offsetof(Record, CountField) + 4)

KELVO_CHECK_RECORD(kelvo_file_info, FileInfoMembers, 92);
KELVO_CHECK_MEMBER(kelvo_file_info, FileInfoMembers, ArtToolInfo);
KELVO_CHECK_MEMBER(kelvo_file_info, FileInfoMembers, ExporterInfo);
KELVO_CHECK_MEMBER(kelvo_file_info, FileInfoMembers, FromFileName);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, TextureCount, Textures);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, MaterialCount, Materials);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, SkeletonCount, Skeletons);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, VertexDataCount, VertexDatas);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, TriTopologyCount, TriTopologies);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, MeshCount, Meshes);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, ModelCount, Models);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, TrackGroupCount, TrackGroups);
KELVO_CHECK_ARRAY(kelvo_file_info, FileInfoMembers, AnimationCount, Animations);
KELVO_CHECK_MEMBER(kelvo_file_info, FileInfoMembers, ExtendedData);
KELVO_CHECK_RECORD(kelvo_art_tool_info, ArtToolInfoMembers, 72);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, FromArtToolName);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, ArtToolMajorRevision);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, ArtToolMinorRevision);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, UnitsPerMeter);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, Origin);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, RightVector);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, UpVector);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, BackVector);
KELVO_CHECK_MEMBER(kelvo_art_tool_info, ArtToolInfoMembers, ExtendedData);
KELVO_CHECK_RECORD(kelvo_exporter_info, ExporterInfoMembers, 28);
KELVO_CHECK_MEMBER(kelvo_exporter_info, ExporterInfoMembers, ExporterName);
KELVO_CHECK_MEMBER(kelvo_exporter_info, ExporterInfoMembers, ExporterMajorRevision);
KELVO_CHECK_MEMBER(kelvo_exporter_info, ExporterInfoMembers, ExporterMinorRevision);
KELVO_CHECK_MEMBER(kelvo_exporter_info, ExporterInfoMembers, ExporterCustomization);
KELVO_CHECK_MEMBER(kelvo_exporter_info, ExporterInfoMembers, ExporterBuildNumber);
KELVO_CHECK_MEMBER(kelvo_exporter_info, ExporterInfoMembers, ExtendedData);
KELVO_CHECK_RECORD(kelvo_pixel_layout, PixelLayoutMembers, 36);
KELVO_CHECK_MEMBER(kelvo_pixel_layout, PixelLayoutMembers, BytesPerPixel);
KELVO_CHECK_MEMBER(kelvo_pixel_layout, PixelLayoutMembers, ShiftForComponent);
KELVO_CHECK_MEMBER(kelvo_pixel_layout, PixelLayoutMembers, BitsForComponent);
KELVO_CHECK_RECORD(kelvo_texture_mip_level, TextureMIPLevelMembers, 12);
KELVO_CHECK_MEMBER(kelvo_texture_mip_level, TextureMIPLevelMembers, Stride);
KELVO_CHECK_ARRAY(kelvo_texture_mip_level, TextureMIPLevelMembers, PixelByteCount, PixelBytes);
KELVO_CHECK_RECORD(kelvo_texture_image, TextureImageMembers, 8);
KELVO_CHECK_ARRAY(kelvo_texture_image, TextureImageMembers, MIPLevelCount, MIPLevels);
KELVO_CHECK_RECORD(kelvo_texture, TextureMembers, 76);
KELVO_CHECK_MEMBER(kelvo_texture, TextureMembers, FromFileName);
KELVO_CHECK_MEMBER(kelvo_texture, TextureMembers, TextureType);
KELVO_CHECK_MEMBER(kelvo_texture, TextureMembers, Width);
KELVO_CHECK_MEMBER(kelvo_texture, TextureMembers, Height);
KELVO_CHECK_MEMBER(kelvo_texture, TextureMembers, Encoding);
KELVO_CHECK_MEMBER(kelvo_texture, TextureMembers, SubFormat);
KELVO_CHECK_MEMBER(kelvo_texture, TextureMembers, Layout);
KELVO_CHECK_ARRAY(kelvo_texture, TextureMembers, ImageCount, Images);
KELVO_CHECK_MEMBER(kelvo_texture, TextureMembers, ExtendedData);
KELVO_CHECK_RECORD(kelvo_material_map, MaterialMapMembers, 8);
KELVO_CHECK_MEMBER(kelvo_material_map, MaterialMapMembers, Usage);
KELVO_CHECK_MEMBER(kelvo_material_map, MaterialMapMembers, Map);
KELVO_CHECK_RECORD(kelvo_material, MaterialMembers, 24);
KELVO_CHECK_MEMBER(kelvo_material, MaterialMembers, Name);
KELVO_CHECK_ARRAY(kelvo_material, MaterialMembers, MapCount, Maps);
KELVO_CHECK_MEMBER(kelvo_material, MaterialMembers, Texture);
KELVO_CHECK_MEMBER(kelvo_material, MaterialMembers, ExtendedData);
KELVO_CHECK_RECORD(kelvo_bone, BoneMembers, 152);
KELVO_CHECK_MEMBER(kelvo_bone, BoneMembers, Name);
KELVO_CHECK_MEMBER(kelvo_bone, BoneMembers, ParentIndex);
KELVO_CHECK_MEMBER(kelvo_bone, BoneMembers, Transform);
KELVO_CHECK_MEMBER(kelvo_bone, BoneMembers, InverseWorldTransform);
KELVO_CHECK_MEMBER(kelvo_bone, BoneMembers, LODError);
KELVO_CHECK_MEMBER(kelvo_bone, BoneMembers, ExtendedData);
KELVO_CHECK_RECORD(kelvo_skeleton, SkeletonMembers, 16);
KELVO_CHECK_MEMBER(kelvo_skeleton, SkeletonMembers, Name);
KELVO_CHECK_ARRAY(kelvo_skeleton, SkeletonMembers, BoneCount, Bones);
KELVO_CHECK_MEMBER(kelvo_skeleton, SkeletonMembers, LODType);
KELVO_CHECK_RECORD(kelvo_vertex_annotation_set, VertexAnnotationSetMembers, 28);
KELVO_CHECK_MEMBER(kelvo_vertex_annotation_set, VertexAnnotationSetMembers, Name);
KELVO_CHECK_VARIANT_ARRAY(kelvo_vertex_annotation_set, VertexAnnotationSetMembers,
                          VertexAnnotationType, VertexAnnotationCount, VertexAnnotations);
KELVO_CHECK_MEMBER(kelvo_vertex_annotation_set, VertexAnnotationSetMembers,
                   IndicesMapFromVertexToAnnotation);
KELVO_CHECK_ARRAY(kelvo_vertex_annotation_set, VertexAnnotationSetMembers,
                  VertexAnnotationIndexCount, VertexAnnotationIndices);
KELVO_CHECK_RECORD(kelvo_vertex_data, VertexDataMembers, 28);
KELVO_CHECK_VARIANT_ARRAY(kelvo_vertex_data, VertexDataMembers, VertexType, VertexCount, Vertices);
KELVO_CHECK_ARRAY(kelvo_vertex_data, VertexDataMembers, VertexComponentNameCount,
                  VertexComponentNames);
KELVO_CHECK_ARRAY(kelvo_vertex_data, VertexDataMembers, VertexAnnotationSetCount,
                  VertexAnnotationSets);
KELVO_CHECK_RECORD(kelvo_tri_material_group, TriMaterialGroupMembers, 12);
KELVO_CHECK_MEMBER(kelvo_tri_material_group, TriMaterialGroupMembers, MaterialIndex);
KELVO_CHECK_MEMBER(kelvo_tri_material_group, TriMaterialGroupMembers, TriFirst);
KELVO_CHECK_MEMBER(kelvo_tri_material_group, TriMaterialGroupMembers, TriCount);
KELVO_CHECK_RECORD(kelvo_tri_annotation_set, TriAnnotationSetMembers, 28);
KELVO_CHECK_MEMBER(kelvo_tri_annotation_set, TriAnnotationSetMembers, Name);
KELVO_CHECK_VARIANT_ARRAY(kelvo_tri_annotation_set, TriAnnotationSetMembers, TriAnnotationType,
                          TriAnnotationCount, TriAnnotations);
KELVO_CHECK_MEMBER(kelvo_tri_annotation_set, TriAnnotationSetMembers,
                   IndicesMapFromTriToAnnotation);
KELVO_CHECK_ARRAY(kelvo_tri_annotation_set, TriAnnotationSetMembers, TriAnnotationIndexCount,
                  TriAnnotationIndices);
KELVO_CHECK_RECORD(kelvo_tri_topology, TriTopologyMembers, 72);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, GroupCount, Groups);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, IndexCount, Indices);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, Index16Count, Indices16);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, VertexToVertexCount, VertexToVertexMap);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, VertexToTriangleCount,
                  VertexToTriangleMap);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, SideToNeighborCount, SideToNeighborMap);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, BonesForTriangleCount, BonesForTriangle);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, TriangleToBoneCount,
                  TriangleToBoneIndices);
KELVO_CHECK_ARRAY(kelvo_tri_topology, TriTopologyMembers, TriAnnotationSetCount, TriAnnotationSets);
KELVO_CHECK_RECORD(kelvo_morph_target, MorphTargetMembers, 8);
KELVO_CHECK_MEMBER(kelvo_morph_target, MorphTargetMembers, ScalarName);
KELVO_CHECK_MEMBER(kelvo_morph_target, MorphTargetMembers, VertexData);
KELVO_CHECK_RECORD(kelvo_material_binding, MaterialBindingMembers, 4);
KELVO_CHECK_MEMBER(kelvo_material_binding, MaterialBindingMembers, Material);
KELVO_CHECK_RECORD(kelvo_bone_binding, BoneBindingMembers, 36);
KELVO_CHECK_MEMBER(kelvo_bone_binding, BoneBindingMembers, BoneName);
KELVO_CHECK_MEMBER(kelvo_bone_binding, BoneBindingMembers, OBBMin);
KELVO_CHECK_MEMBER(kelvo_bone_binding, BoneBindingMembers, OBBMax);
KELVO_CHECK_ARRAY(kelvo_bone_binding, BoneBindingMembers, TriangleIndexCount, TriangleIndices);
KELVO_CHECK_RECORD(kelvo_mesh, MeshMembers, 44);
KELVO_CHECK_MEMBER(kelvo_mesh, MeshMembers, Name);
KELVO_CHECK_MEMBER(kelvo_mesh, MeshMembers, PrimaryVertexData);
KELVO_CHECK_ARRAY(kelvo_mesh, MeshMembers, MorphTargetCount, MorphTargets);
KELVO_CHECK_MEMBER(kelvo_mesh, MeshMembers, PrimaryTopology);
KELVO_CHECK_ARRAY(kelvo_mesh, MeshMembers, MaterialBindingCount, MaterialBindings);
KELVO_CHECK_ARRAY(kelvo_mesh, MeshMembers, BoneBindingCount, BoneBindings);
KELVO_CHECK_MEMBER(kelvo_mesh, MeshMembers, ExtendedData);
KELVO_CHECK_RECORD(kelvo_model_mesh_binding, ModelMeshBindingMembers, 4);
KELVO_CHECK_MEMBER(kelvo_model_mesh_binding, ModelMeshBindingMembers, Mesh);
KELVO_CHECK_RECORD(kelvo_model, ModelMembers, 84);
KELVO_CHECK_MEMBER(kelvo_model, ModelMembers, Name);
KELVO_CHECK_MEMBER(kelvo_model, ModelMembers, Skeleton);
KELVO_CHECK_MEMBER(kelvo_model, ModelMembers, InitialPlacement);
KELVO_CHECK_ARRAY(kelvo_model, ModelMembers, MeshBindingCount, MeshBindings);
KELVO_CHECK_RECORD(kelvo_curve2, Curve2Members, 8);
KELVO_CHECK_MEMBER(kelvo_curve2, Curve2Members, CurveData);
KELVO_CHECK_RECORD(kelvo_old_curve, OldCurveMembers, 20);
KELVO_CHECK_MEMBER(kelvo_old_curve, OldCurveMembers, Degree);
KELVO_CHECK_ARRAY(kelvo_old_curve, OldCurveMembers, KnotCount, Knots);
KELVO_CHECK_ARRAY(kelvo_old_curve, OldCurveMembers, ControlCount, Controls);
KELVO_CHECK_RECORD(kelvo_vector_track, VectorTrackMembers, 16);
KELVO_CHECK_MEMBER(kelvo_vector_track, VectorTrackMembers, Name);
KELVO_CHECK_MEMBER(kelvo_vector_track, VectorTrackMembers, Dimension);
KELVO_CHECK_MEMBER(kelvo_vector_track, VectorTrackMembers, ValueCurve);
KELVO_CHECK_RECORD(kelvo_transform_track, TransformTrackMembers, 32);
KELVO_CHECK_MEMBER(kelvo_transform_track, TransformTrackMembers, Name);
KELVO_CHECK_MEMBER(kelvo_transform_track, TransformTrackMembers, Flags);
KELVO_CHECK_MEMBER(kelvo_transform_track, TransformTrackMembers, OrientationCurve);
KELVO_CHECK_MEMBER(kelvo_transform_track, TransformTrackMembers, PositionCurve);
KELVO_CHECK_MEMBER(kelvo_transform_track, TransformTrackMembers, ScaleShearCurve);
KELVO_CHECK_RECORD(kelvo_text_track_entry, TextTrackEntryMembers, 8);
KELVO_CHECK_MEMBER(kelvo_text_track_entry, TextTrackEntryMembers, TimeStamp);
KELVO_CHECK_MEMBER(kelvo_text_track_entry, TextTrackEntryMembers, Text);
KELVO_CHECK_RECORD(kelvo_text_track, TextTrackMembers, 12);
KELVO_CHECK_MEMBER(kelvo_text_track, TextTrackMembers, Name);
KELVO_CHECK_ARRAY(kelvo_text_track, TextTrackMembers, EntryCount, Entries);
KELVO_CHECK_RECORD(kelvo_periodic_loop, PeriodicLoopMembers, 48);
KELVO_CHECK_MEMBER(kelvo_periodic_loop, PeriodicLoopMembers, Radius);
KELVO_CHECK_MEMBER(kelvo_periodic_loop, PeriodicLoopMembers, dAngle);
KELVO_CHECK_MEMBER(kelvo_periodic_loop, PeriodicLoopMembers, dZ);
KELVO_CHECK_MEMBER(kelvo_periodic_loop, PeriodicLoopMembers, BasisX);
KELVO_CHECK_MEMBER(kelvo_periodic_loop, PeriodicLoopMembers, BasisY);
KELVO_CHECK_MEMBER(kelvo_periodic_loop, PeriodicLoopMembers, Axis);
KELVO_CHECK_RECORD(kelvo_track_group, TrackGroupMembers, 136);
KELVO_CHECK_MEMBER(kelvo_track_group, TrackGroupMembers, Name);
KELVO_CHECK_ARRAY(kelvo_track_group, TrackGroupMembers, VectorTrackCount, VectorTracks);
KELVO_CHECK_ARRAY(kelvo_track_group, TrackGroupMembers, TransformTrackCount, TransformTracks);
KELVO_CHECK_ARRAY(kelvo_track_group, TrackGroupMembers, TransformLODErrorCount, TransformLODErrors);
KELVO_CHECK_ARRAY(kelvo_track_group, TrackGroupMembers, TextTrackCount, TextTracks);
KELVO_CHECK_MEMBER(kelvo_track_group, TrackGroupMembers, InitialPlacement);
KELVO_CHECK_MEMBER(kelvo_track_group, TrackGroupMembers, AccumulationFlags);
KELVO_CHECK_MEMBER(kelvo_track_group, TrackGroupMembers, LoopTranslation);
KELVO_CHECK_MEMBER(kelvo_track_group, TrackGroupMembers, PeriodicLoop);
KELVO_CHECK_MEMBER(kelvo_track_group, TrackGroupMembers, RootMotion);
KELVO_CHECK_MEMBER(kelvo_track_group, TrackGroupMembers, ExtendedData);
KELVO_CHECK_RECORD(kelvo_animation, AnimationMembers, 24);
KELVO_CHECK_MEMBER(kelvo_animation, AnimationMembers, Name);
KELVO_CHECK_MEMBER(kelvo_animation, AnimationMembers, Duration);
KELVO_CHECK_MEMBER(kelvo_animation, AnimationMembers, TimeStep);
KELVO_CHECK_MEMBER(kelvo_animation, AnimationMembers, Oversampling);
KELVO_CHECK_ARRAY(kelvo_animation, AnimationMembers, TrackGroupCount, TrackGroups);
KELVO_CHECK_RECORD(kelvo_vertex_weight_arrays, VertexWeightArraysMembers, 2048);
KELVO_CHECK_MEMBER(kelvo_vertex_weight_arrays, VertexWeightArraysMembers, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_vertex_weight_arrays, VertexWeightArraysMembers, BoneIndices);

KELVO_CHECK_RECORD(kelvo_gbx333_vertex, VertexGBX333Members, 36);
KELVO_CHECK_RECORD(kelvo_p3_vertex, VertexP3Members, 12);
KELVO_CHECK_RECORD(kelvo_pn33_vertex, VertexPN33Members, 24);
KELVO_CHECK_RECORD(kelvo_png333_vertex, VertexPNG333Members, 36);
KELVO_CHECK_RECORD(kelvo_pngb3333_vertex, VertexPNGB3333Members, 48);
KELVO_CHECK_RECORD(kelvo_pngbt33332_vertex, VertexPNGBT33332Members, 56);
KELVO_CHECK_RECORD(kelvo_pngbt33333_vertex, VertexPNGBT33333Members, 60);
KELVO_CHECK_RECORD(kelvo_pngt3332_vertex, VertexPNGT3332Members, 44);
KELVO_CHECK_RECORD(kelvo_pnt332_vertex, VertexPNT332Members, 32);
KELVO_CHECK_RECORD(kelvo_pnt333_vertex, VertexPNT333Members, 36);
KELVO_CHECK_RECORD(kelvo_pt32_vertex, VertexPT32Members, 20);
KELVO_CHECK_RECORD(kelvo_pwn313_vertex, VertexPWN313Members, 28);
KELVO_CHECK_RECORD(kelvo_pwn323_vertex, VertexPWN323Members, 28);
KELVO_CHECK_RECORD(kelvo_pwn343_vertex, VertexPWN343Members, 32);
KELVO_CHECK_RECORD(kelvo_pwng3133_vertex, VertexPWNG3133Members, 40);
KELVO_CHECK_RECORD(kelvo_pwng3233_vertex, VertexPWNG3233Members, 40);
KELVO_CHECK_RECORD(kelvo_pwng3433_vertex, VertexPWNG3433Members, 44);
KELVO_CHECK_RECORD(kelvo_pwngb31333_vertex, VertexPWNGB31333Members, 52);
KELVO_CHECK_RECORD(kelvo_pwngb32333_vertex, VertexPWNGB32333Members, 52);
KELVO_CHECK_RECORD(kelvo_pwngb34333_vertex, VertexPWNGB34333Members, 56);
KELVO_CHECK_RECORD(kelvo_pwngbt313332_vertex, VertexPWNGBT313332Members, 60);
KELVO_CHECK_RECORD(kelvo_pwngbt323332_vertex, VertexPWNGBT323332Members, 60);
KELVO_CHECK_RECORD(kelvo_pwngbt343332_vertex, VertexPWNGBT343332Members, 64);
KELVO_CHECK_RECORD(kelvo_pwngt31332_vertex, VertexPWNGT31332Members, 52);
KELVO_CHECK_RECORD(kelvo_pwngt32332_vertex, VertexPWNGT32332Members, 48);
KELVO_CHECK_RECORD(kelvo_pwngt34332_vertex, VertexPWNGT34332Members, 52);
KELVO_CHECK_RECORD(kelvo_pwnt3132_vertex, VertexPWNT3132Members, 36);
KELVO_CHECK_RECORD(kelvo_pwnt3232_vertex, VertexPWNT3232Members, 36);
KELVO_CHECK_RECORD(kelvo_pwnt3432_vertex, VertexPWNT3432Members, 40);
KELVO_CHECK_MEMBER(kelvo_gbx333_vertex, VertexGBX333Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_gbx333_vertex, VertexGBX333Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_gbx333_vertex, VertexGBX333Members, TangentBinormalCross);
KELVO_CHECK_MEMBER(kelvo_p3_vertex, VertexP3Members, Position);
KELVO_CHECK_MEMBER(kelvo_pn33_vertex, VertexPN33Members, Position);
KELVO_CHECK_MEMBER(kelvo_pn33_vertex, VertexPN33Members, Normal);
KELVO_CHECK_MEMBER(kelvo_png333_vertex, VertexPNG333Members, Position);
KELVO_CHECK_MEMBER(kelvo_png333_vertex, VertexPNG333Members, Normal);
KELVO_CHECK_MEMBER(kelvo_png333_vertex, VertexPNG333Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pngb3333_vertex, VertexPNGB3333Members, Position);
KELVO_CHECK_MEMBER(kelvo_pngb3333_vertex, VertexPNGB3333Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pngb3333_vertex, VertexPNGB3333Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pngb3333_vertex, VertexPNGB3333Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pngbt33332_vertex, VertexPNGBT33332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pngbt33332_vertex, VertexPNGBT33332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pngbt33332_vertex, VertexPNGBT33332Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pngbt33332_vertex, VertexPNGBT33332Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pngbt33332_vertex, VertexPNGBT33332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pngbt33333_vertex, VertexPNGBT33333Members, Position);
KELVO_CHECK_MEMBER(kelvo_pngbt33333_vertex, VertexPNGBT33333Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pngbt33333_vertex, VertexPNGBT33333Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pngbt33333_vertex, VertexPNGBT33333Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pngbt33333_vertex, VertexPNGBT33333Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pngt3332_vertex, VertexPNGT3332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pngt3332_vertex, VertexPNGT3332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pngt3332_vertex, VertexPNGT3332Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pngt3332_vertex, VertexPNGT3332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pnt332_vertex, VertexPNT332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pnt332_vertex, VertexPNT332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pnt332_vertex, VertexPNT332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pnt333_vertex, VertexPNT333Members, Position);
KELVO_CHECK_MEMBER(kelvo_pnt333_vertex, VertexPNT333Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pnt333_vertex, VertexPNT333Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pt32_vertex, VertexPT32Members, Position);
KELVO_CHECK_MEMBER(kelvo_pt32_vertex, VertexPT32Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwn313_vertex, VertexPWN313Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwn313_vertex, VertexPWN313Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwn313_vertex, VertexPWN313Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwn323_vertex, VertexPWN323Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwn323_vertex, VertexPWN323Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwn323_vertex, VertexPWN323Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwn323_vertex, VertexPWN323Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwn343_vertex, VertexPWN343Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwn343_vertex, VertexPWN343Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwn343_vertex, VertexPWN343Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwn343_vertex, VertexPWN343Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwng3133_vertex, VertexPWNG3133Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwng3133_vertex, VertexPWNG3133Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwng3133_vertex, VertexPWNG3133Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwng3133_vertex, VertexPWNG3133Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwng3233_vertex, VertexPWNG3233Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwng3233_vertex, VertexPWNG3233Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwng3233_vertex, VertexPWNG3233Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwng3233_vertex, VertexPWNG3233Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwng3233_vertex, VertexPWNG3233Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwng3433_vertex, VertexPWNG3433Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwng3433_vertex, VertexPWNG3433Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwng3433_vertex, VertexPWNG3433Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwng3433_vertex, VertexPWNG3433Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwng3433_vertex, VertexPWNG3433Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngb31333_vertex, VertexPWNGB31333Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngb31333_vertex, VertexPWNGB31333Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngb31333_vertex, VertexPWNGB31333Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngb31333_vertex, VertexPWNGB31333Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngb31333_vertex, VertexPWNGB31333Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pwngb32333_vertex, VertexPWNGB32333Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngb32333_vertex, VertexPWNGB32333Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwngb32333_vertex, VertexPWNGB32333Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngb32333_vertex, VertexPWNGB32333Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngb32333_vertex, VertexPWNGB32333Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngb32333_vertex, VertexPWNGB32333Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pwngb34333_vertex, VertexPWNGB34333Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngb34333_vertex, VertexPWNGB34333Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwngb34333_vertex, VertexPWNGB34333Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngb34333_vertex, VertexPWNGB34333Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngb34333_vertex, VertexPWNGB34333Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngb34333_vertex, VertexPWNGB34333Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pwngbt313332_vertex, VertexPWNGBT313332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngbt313332_vertex, VertexPWNGBT313332Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngbt313332_vertex, VertexPWNGBT313332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngbt313332_vertex, VertexPWNGBT313332Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngbt313332_vertex, VertexPWNGBT313332Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pwngbt313332_vertex, VertexPWNGBT313332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwngbt323332_vertex, VertexPWNGBT323332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngbt323332_vertex, VertexPWNGBT323332Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwngbt323332_vertex, VertexPWNGBT323332Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngbt323332_vertex, VertexPWNGBT323332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngbt323332_vertex, VertexPWNGBT323332Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngbt323332_vertex, VertexPWNGBT323332Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pwngbt323332_vertex, VertexPWNGBT323332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwngbt343332_vertex, VertexPWNGBT343332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngbt343332_vertex, VertexPWNGBT343332Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwngbt343332_vertex, VertexPWNGBT343332Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngbt343332_vertex, VertexPWNGBT343332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngbt343332_vertex, VertexPWNGBT343332Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngbt343332_vertex, VertexPWNGBT343332Members, Binormal);
KELVO_CHECK_MEMBER(kelvo_pwngbt343332_vertex, VertexPWNGBT343332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwngt31332_vertex, VertexPWNGT31332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngt31332_vertex, VertexPWNGT31332Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngt31332_vertex, VertexPWNGT31332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngt31332_vertex, VertexPWNGT31332Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngt31332_vertex, VertexPWNGT31332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwngt32332_vertex, VertexPWNGT32332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngt32332_vertex, VertexPWNGT32332Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwngt32332_vertex, VertexPWNGT32332Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngt32332_vertex, VertexPWNGT32332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngt32332_vertex, VertexPWNGT32332Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngt32332_vertex, VertexPWNGT32332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwngt34332_vertex, VertexPWNGT34332Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwngt34332_vertex, VertexPWNGT34332Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwngt34332_vertex, VertexPWNGT34332Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwngt34332_vertex, VertexPWNGT34332Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwngt34332_vertex, VertexPWNGT34332Members, Tangent);
KELVO_CHECK_MEMBER(kelvo_pwngt34332_vertex, VertexPWNGT34332Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwnt3132_vertex, VertexPWNT3132Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwnt3132_vertex, VertexPWNT3132Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwnt3132_vertex, VertexPWNT3132Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwnt3132_vertex, VertexPWNT3132Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwnt3232_vertex, VertexPWNT3232Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwnt3232_vertex, VertexPWNT3232Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwnt3232_vertex, VertexPWNT3232Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwnt3232_vertex, VertexPWNT3232Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwnt3232_vertex, VertexPWNT3232Members, TextureCoordinates0);
KELVO_CHECK_MEMBER(kelvo_pwnt3432_vertex, VertexPWNT3432Members, Position);
KELVO_CHECK_MEMBER(kelvo_pwnt3432_vertex, VertexPWNT3432Members, BoneWeights);
KELVO_CHECK_MEMBER(kelvo_pwnt3432_vertex, VertexPWNT3432Members, BoneIndices);
KELVO_CHECK_MEMBER(kelvo_pwnt3432_vertex, VertexPWNT3432Members, Normal);
KELVO_CHECK_MEMBER(kelvo_pwnt3432_vertex, VertexPWNT3432Members, TextureCoordinates0);

// ---- the stock vertex layouts by name -----------------------------------------

constinit stock_vertex_layout const StockVertexLayouts[] = {
    {"GBX333", VertexGBX333Members},
    {"P3", VertexP3Members},
    {"PN33", VertexPN33Members},
    {"PNG333", VertexPNG333Members},
    {"PNGB3333", VertexPNGB3333Members},
    {"PNGBT33332", VertexPNGBT33332Members},
    {"PNGBT33333", VertexPNGBT33333Members},
    {"PNGT3332", VertexPNGT3332Members},
    {"PNT332", VertexPNT332Members},
    {"PNT333", VertexPNT333Members},
    {"PT32", VertexPT32Members},
    {"PWN313", VertexPWN313Members},
    {"PWN323", VertexPWN323Members},
    {"PWN343", VertexPWN343Members},
    {"PWNG3133", VertexPWNG3133Members},
    {"PWNG3233", VertexPWNG3233Members},
    {"PWNG3433", VertexPWNG3433Members},
    {"PWNGB31333", VertexPWNGB31333Members},
    {"PWNGB32333", VertexPWNGB32333Members},
    {"PWNGB34333", VertexPWNGB34333Members},
    {"PWNGBT313332", VertexPWNGBT313332Members},
    {"PWNGBT323332", VertexPWNGBT323332Members},
    {"PWNGBT343332", VertexPWNGBT343332Members},
    {"PWNGT31332", VertexPWNGT31332Members},
    {"PWNGT32332", VertexPWNGT32332Members},
    {"PWNGT34332", VertexPWNGT34332Members},
    {"PWNT3132", VertexPWNT3132Members},
    {"PWNT3232", VertexPWNT3232Members},
    {"PWNT3432", VertexPWNT3432Members},
};
constinit kelvo_int32 const StockVertexLayoutCount =
    (kelvo_int32)(sizeof(StockVertexLayouts) / sizeof(StockVertexLayouts[0]));

stock_vertex_layout const *FindStockVertexLayout(kelvo_data_type_definition const *Type) {
    for (stock_vertex_layout const &Layout : StockVertexLayouts) {
        if (KelvoDataTypesAreEqualWithNames(Type, Layout.Type)) {
            return &Layout;
        }
    }
    return nullptr;
}

// Trees meet curves only through these tables, so the curve path of
// conversion is installed beside them: any program that can convert a tree
// holding curves links this object, and with it this initializer.
[[maybe_unused]] bool const CurveConversionInstalled = (InstallCurveConversion(), true);

} // namespace kelvo

// ---- exports --------------------------------------------------------------------

kelvo_data_type_definition const *const KelvoFileInfoType = kelvo::FileInfoMembers;
kelvo_data_type_definition const *const KelvoArtToolInfoType = kelvo::ArtToolInfoMembers;
kelvo_data_type_definition const *const KelvoExporterInfoType = kelvo::ExporterInfoMembers;
kelvo_data_type_definition const *const KelvoPixelLayoutType = kelvo::PixelLayoutMembers;
kelvo_data_type_definition const *const KelvoTextureMIPLevelType = kelvo::TextureMIPLevelMembers;
kelvo_data_type_definition const *const KelvoTextureImageType = kelvo::TextureImageMembers;
kelvo_data_type_definition const *const KelvoTextureType = kelvo::TextureMembers;
kelvo_data_type_definition const *const KelvoMaterialMapType = kelvo::MaterialMapMembers;
kelvo_data_type_definition const *const KelvoMaterialType = kelvo::MaterialMembers;
kelvo_data_type_definition const *const KelvoBoneType = kelvo::BoneMembers;
kelvo_data_type_definition const *const KelvoSkeletonType = kelvo::SkeletonMembers;
kelvo_data_type_definition const *const KelvoVertexAnnotationSetType =
    kelvo::VertexAnnotationSetMembers;
kelvo_data_type_definition const *const KelvoVertexDataType = kelvo::VertexDataMembers;
kelvo_data_type_definition const *const KelvoTriMaterialGroupType = kelvo::TriMaterialGroupMembers;
kelvo_data_type_definition const *const KelvoTriAnnotationSetType = kelvo::TriAnnotationSetMembers;
kelvo_data_type_definition const *const KelvoTriTopologyType = kelvo::TriTopologyMembers;
kelvo_data_type_definition const *const KelvoMorphTargetType = kelvo::MorphTargetMembers;
kelvo_data_type_definition const *const KelvoMaterialBindingType = kelvo::MaterialBindingMembers;
kelvo_data_type_definition const *const KelvoBoneBindingType = kelvo::BoneBindingMembers;
kelvo_data_type_definition const *const KelvoMeshType = kelvo::MeshMembers;
kelvo_data_type_definition const *const KelvoModelMeshBindingType = kelvo::ModelMeshBindingMembers;
kelvo_data_type_definition const *const KelvoModelType = kelvo::ModelMembers;
kelvo_data_type_definition const *const KelvoCurve2Type = kelvo::Curve2Members;
kelvo_data_type_definition const *const KelvoOldCurveType = kelvo::OldCurveMembers;
kelvo_data_type_definition const *const KelvoVectorTrackType = kelvo::VectorTrackMembers;
kelvo_data_type_definition const *const KelvoTransformTrackType = kelvo::TransformTrackMembers;
kelvo_data_type_definition const *const KelvoTextTrackEntryType = kelvo::TextTrackEntryMembers;
kelvo_data_type_definition const *const KelvoTextTrackType = kelvo::TextTrackMembers;
kelvo_data_type_definition const *const KelvoPeriodicLoopType = kelvo::PeriodicLoopMembers;
kelvo_data_type_definition const *const KelvoTrackGroupType = kelvo::TrackGroupMembers;
kelvo_data_type_definition const *const KelvoAnimationType = kelvo::AnimationMembers;
kelvo_data_type_definition const *const KelvoVertexWeightArraysType =
    kelvo::VertexWeightArraysMembers;

kelvo_data_type_definition const *const KelvoGBX333VertexType = kelvo::VertexGBX333Members;
kelvo_data_type_definition const *const KelvoP3VertexType = kelvo::VertexP3Members;
kelvo_data_type_definition const *const KelvoPN33VertexType = kelvo::VertexPN33Members;
kelvo_data_type_definition const *const KelvoPNG333VertexType = kelvo::VertexPNG333Members;
kelvo_data_type_definition const *const KelvoPNGB3333VertexType = kelvo::VertexPNGB3333Members;
kelvo_data_type_definition const *const KelvoPNGBT33332VertexType = kelvo::VertexPNGBT33332Members;
kelvo_data_type_definition const *const KelvoPNGBT33333VertexType = kelvo::VertexPNGBT33333Members;
kelvo_data_type_definition const *const KelvoPNGT3332VertexType = kelvo::VertexPNGT3332Members;
kelvo_data_type_definition const *const KelvoPNT332VertexType = kelvo::VertexPNT332Members;
kelvo_data_type_definition const *const KelvoPNT333VertexType = kelvo::VertexPNT333Members;
kelvo_data_type_definition const *const KelvoPT32VertexType = kelvo::VertexPT32Members;
kelvo_data_type_definition const *const KelvoPWN313VertexType = kelvo::VertexPWN313Members;
kelvo_data_type_definition const *const KelvoPWN323VertexType = kelvo::VertexPWN323Members;
kelvo_data_type_definition const *const KelvoPWN343VertexType = kelvo::VertexPWN343Members;
kelvo_data_type_definition const *const KelvoPWNG3133VertexType = kelvo::VertexPWNG3133Members;
kelvo_data_type_definition const *const KelvoPWNG3233VertexType = kelvo::VertexPWNG3233Members;
kelvo_data_type_definition const *const KelvoPWNG3433VertexType = kelvo::VertexPWNG3433Members;
kelvo_data_type_definition const *const KelvoPWNGB31333VertexType = kelvo::VertexPWNGB31333Members;
kelvo_data_type_definition const *const KelvoPWNGB32333VertexType = kelvo::VertexPWNGB32333Members;
kelvo_data_type_definition const *const KelvoPWNGB34333VertexType = kelvo::VertexPWNGB34333Members;
kelvo_data_type_definition const *const KelvoPWNGBT313332VertexType =
    kelvo::VertexPWNGBT313332Members;
kelvo_data_type_definition const *const KelvoPWNGBT323332VertexType =
    kelvo::VertexPWNGBT323332Members;
kelvo_data_type_definition const *const KelvoPWNGBT343332VertexType =
    kelvo::VertexPWNGBT343332Members;
kelvo_data_type_definition const *const KelvoPWNGT31332VertexType = kelvo::VertexPWNGT31332Members;
kelvo_data_type_definition const *const KelvoPWNGT32332VertexType = kelvo::VertexPWNGT32332Members;
kelvo_data_type_definition const *const KelvoPWNGT34332VertexType = kelvo::VertexPWNGT34332Members;
kelvo_data_type_definition const *const KelvoPWNT3132VertexType = kelvo::VertexPWNT3132Members;
kelvo_data_type_definition const *const KelvoPWNT3232VertexType = kelvo::VertexPWNT3232Members;
kelvo_data_type_definition const *const KelvoPWNT3432VertexType = kelvo::VertexPWNT3432Members;

namespace kelvo {

constinit kelvo_defined_type const DefinedTypes[] = {
    {0x10001, "animation", kelvo::AnimationMembers},
    {0x10002, "art_tool_info", kelvo::ArtToolInfoMembers},
    {0x10003, "curve2", kelvo::Curve2Members},
    {0x10004, "exporter_info", kelvo::ExporterInfoMembers},
    {0x10005, "material_map", kelvo::MaterialMapMembers},
    {0x10006, "material", kelvo::MaterialMembers},
    {0x10007, "bone_binding", kelvo::BoneBindingMembers},
    {0x10008, "material_binding", kelvo::MaterialBindingMembers},
    {0x10009, "morph_target", kelvo::MorphTargetMembers},
    {0x1000A, "mesh", kelvo::MeshMembers},
    {0x1000B, "model_mesh_binding", kelvo::ModelMeshBindingMembers},
    {0x1000C, "model", kelvo::ModelMembers},
    {0x1000D, "periodic_loop", kelvo::PeriodicLoopMembers},
    {0x1000E, "pixel_layout", kelvo::PixelLayoutMembers},
    {0x10011, "bone", kelvo::BoneMembers},
    {0x10012, "skeleton", kelvo::SkeletonMembers},
    {0x10013, "strings", kelvo::StringMembers},
    {0x10014, "texture_mip_level", kelvo::TextureMIPLevelMembers},
    {0x10015, "texture_image", kelvo::TextureImageMembers},
    {0x10016, "texture", kelvo::TextureMembers},
    {0x10017, "vector_track", kelvo::VectorTrackMembers},
    {0x10018, "transform_track", kelvo::TransformTrackMembers},
    {0x10019, "text_track_entry", kelvo::TextTrackEntryMembers},
    {0x1001A, "text_track", kelvo::TextTrackMembers},
    {0x1001B, "track_group", kelvo::TrackGroupMembers},
    {0x1001C, "tri_material_group", kelvo::TriMaterialGroupMembers},
    {0x1001D, "tri_annotation_set", kelvo::TriAnnotationSetMembers},
    {0x1001E, "tri_topology", kelvo::TriTopologyMembers},
    {0x1001F, "vertex_annotation_set", kelvo::VertexAnnotationSetMembers},
    {0x10020, "vertex_data", kelvo::VertexDataMembers},
};

} // namespace kelvo

constinit kelvo_defined_type const *const KelvoDefinedTypes = kelvo::DefinedTypes;

KELVO_API kelvo_int32 KelvoGetDefinedTypeCount(void) {
    return (kelvo_int32)(sizeof(kelvo::DefinedTypes) / sizeof(kelvo::DefinedTypes[0]));
}

// The root in the current layout, once its asset invariants hold. The
// root is used in place only when its tree lies inside its sections and its
// stored definition is the file info's; otherwise it is converted.
KELVO_API struct kelvo_file_info *KelvoGetFileInfo(kelvo_file *File) {
    kelvo_file_info *Info = static_cast<kelvo_file_info *>(
        kelvo::GetFileRootAs(File, KelvoFileInfoType, KelvoCurrentTypeTag));
    return Info && kelvo::CheckAssetTree(Info) ? Info : nullptr;
}
