// Compares two object trees member by member through their definitions,
// whatever their layouts: the tests of the data tree writer, the loader and
// platform conversion check what comes back from a file with it.
#ifndef TREE_COMPARISON_H
#define TREE_COMPARISON_H

#include "kelvo2.h"

#include <cstring>
#include <set>
#include <string>
#include <utility>

// Member-by-member equality of two trees through their definitions; names
// of members and variant types are compared too.
class tree_comparison {
  public:
    std::string Where;

    bool Equal(kelvo_data_type_definition const *TA, void const *A,
               kelvo_data_type_definition const *TB, void const *B, std::string Path = "root") {
        if (!Seen.insert({A, B}).second) {
            return true;
        }
        auto const *PA = static_cast<kelvo_uint8 const *>(A);
        auto const *PB = static_cast<kelvo_uint8 const *>(B);
        for (;; ++TA, ++TB) {
            if (TA->Type != TB->Type || TA->ArrayWidth != TB->ArrayWidth) {
                return Fail(Path + ": member types differ");
            }
            if (TA->Type == KelvoEndMember) {
                return true;
            }
            if (!TA->Name != !TB->Name || (TA->Name && strcmp(TA->Name, TB->Name) != 0)) {
                return Fail(Path + ": member names differ");
            }
            std::string At = Path + "." + TA->Name;
            if (!Member(TA, PA, TB, PB, At)) {
                return false;
            }
            PA += KelvoGetMemberTypeSize(TA);
            PB += KelvoGetMemberTypeSize(TB);
        }
    }

  private:
    std::set<std::pair<void const *, void const *>> Seen;

    bool Fail(std::string const &Why) {
        Where = Why;
        return false;
    }
    static void *Pointer(kelvo_uint8 const *At) {
        void *Value;
        memcpy(&Value, At, sizeof(Value));
        return Value;
    }
    static kelvo_int32 Int(kelvo_uint8 const *At) {
        kelvo_int32 Value;
        memcpy(&Value, At, 4);
        return Value;
    }
    // An array pointer with its count; a missing pointer counts as empty.
    static kelvo_int32 Count(kelvo_uint8 const *CountAt, kelvo_uint8 const *PointerAt) {
        return Pointer(PointerAt) ? Int(CountAt) : 0;
    }
    bool Objects(kelvo_data_type_definition const *TA, void const *A,
                 kelvo_data_type_definition const *TB, void const *B, kelvo_int32 N,
                 std::string const &Path) {
        if (!A != !B) {
            return Fail(Path + ": one pointer is null");
        }
        kelvo_int32 SA = KelvoGetTotalObjectSize(TA), SB = KelvoGetTotalObjectSize(TB);
        for (kelvo_int32 Index = 0; A && Index < N; ++Index) {
            if (!Equal(TA, static_cast<kelvo_uint8 const *>(A) + Index * SA, TB,
                       static_cast<kelvo_uint8 const *>(B) + Index * SB,
                       Path + "[" + std::to_string(Index) + "]")) {
                return false;
            }
        }
        return true;
    }
    bool Types(kelvo_data_type_definition const *TA, kelvo_data_type_definition const *TB,
               std::string const &Path) {
        if (!TA != !TB || (TA && !KelvoDataTypesAreEqualWithNames(TA, TB))) {
            return Fail(Path + ": variant types differ");
        }
        return true;
    }
    bool Member(kelvo_data_type_definition const *MA, kelvo_uint8 const *A,
                kelvo_data_type_definition const *MB, kelvo_uint8 const *B,
                std::string const &Path) {
        kelvo_int32 P = (kelvo_int32)sizeof(void *);
        switch (MA->Type) {
        case KelvoInlineMember:
            return Equal(MA->ReferenceType, A, MB->ReferenceType, B, Path);
        case KelvoReferenceMember:
            return Objects(MA->ReferenceType, Pointer(A), MB->ReferenceType, Pointer(B), 1, Path);
        case KelvoReferenceToArrayMember:
            if (Count(A, A + 4) != Count(B, B + 4)) {
                return Fail(Path + ": counts differ");
            }
            return Objects(MA->ReferenceType, Pointer(A + 4), MB->ReferenceType, Pointer(B + 4),
                           Count(A, A + 4), Path);
        case KelvoArrayOfReferencesMember: {
            kelvo_int32 N = Count(A, A + 4);
            if (N != Count(B, B + 4)) {
                return Fail(Path + ": counts differ");
            }
            auto const *SA = static_cast<kelvo_uint8 const *>(Pointer(A + 4));
            auto const *SB = static_cast<kelvo_uint8 const *>(Pointer(B + 4));
            for (kelvo_int32 Index = 0; Index < N; ++Index) {
                if (!Objects(MA->ReferenceType, Pointer(SA + Index * P), MB->ReferenceType,
                             Pointer(SB + Index * P), 1,
                             Path + "[" + std::to_string(Index) + "]")) {
                    return false;
                }
            }
            return true;
        }
        case KelvoVariantReferenceMember: {
            auto *TA = static_cast<kelvo_data_type_definition const *>(Pointer(A));
            auto *TB = static_cast<kelvo_data_type_definition const *>(Pointer(B));
            return Types(TA, TB, Path) &&
                   (!TA || Objects(TA, Pointer(A + P), TB, Pointer(B + P), 1, Path));
        }
        case KelvoReferenceToVariantArrayMember: {
            auto *TA = static_cast<kelvo_data_type_definition const *>(Pointer(A));
            auto *TB = static_cast<kelvo_data_type_definition const *>(Pointer(B));
            kelvo_int32 N = TA ? Count(A + P, A + P + 4) : 0;
            if (!Types(TA, TB, Path) || N != (TB ? Count(B + P, B + P + 4) : 0)) {
                return Fail(Path + ": variant arrays differ");
            }
            return !TA || Objects(TA, Pointer(A + P + 4), TB, Pointer(B + P + 4), N, Path);
        }
        case KelvoStringMember: {
            auto *SA = static_cast<char const *>(Pointer(A));
            auto *SB = static_cast<char const *>(Pointer(B));
            if (!SA != !SB || (SA && strcmp(SA, SB) != 0)) {
                return Fail(Path + ": strings differ");
            }
            return true;
        }
        default:
            if (memcmp(A, B, KelvoGetMemberTypeSize(MA)) != 0) {
                return Fail(Path + ": values differ");
            }
            return true;
        }
    }
};

#endif
