// CRC-32 of ISO 3309 (reflected, polynomial 0xEDB88320). The result is the
// classic one-table definition; eight tables let the loop take eight bytes
// per step, and long runs go through carry-less multiplication where the
// processor has it.
#include "foundation/kelvo_crc.h"

#include "kelvo2/kelvo2_string.h"

namespace {

struct crc_tables {
    kelvo_uint32 Table[8][256];

    constexpr crc_tables() : Table() {
        for (kelvo_uint32 Byte = 0; Byte < 256; ++Byte) {
            kelvo_uint32 CRC = Byte;
            for (int Bit = 0; Bit < 8; ++Bit) {
                CRC = (CRC & 1) ? (CRC >> 1) ^ 0xEDB88320u : CRC >> 1;
            }
            Table[0][Byte] = CRC;
        }
        for (kelvo_uint32 Byte = 0; Byte < 256; ++Byte) {
            for (int Slice = 1; Slice < 8; ++Slice) {
                kelvo_uint32 Previous = Table[Slice - 1][Byte];
                Table[Slice][Byte] = (Previous >> 8) ^ Table[0][Previous & 0xFF];
            }
        }
    }
};

constexpr crc_tables Tables;

kelvo_uint32 LoadLittleEndian32(kelvo_uint8 const *Bytes) {
    return (kelvo_uint32)Bytes[0] | ((kelvo_uint32)Bytes[1] << 8) |
           ((kelvo_uint32)Bytes[2] << 16) | ((kelvo_uint32)Bytes[3] << 24);
}

} // namespace

namespace kelvo {

#if defined(__x86_64__) || defined(__i386__)
bool ProcessorHasCarrylessMultiply() {
    static bool const Supported =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return Supported;
}
#endif

kelvo_uint32 UpdateCRC32(kelvo_uint32 CRC, kelvo_uint32 Count, void const *Data) {
    kelvo_uint8 const *Bytes = static_cast<kelvo_uint8 const *>(Data);
    if (!Bytes) {
        return CRC;
    }
#if defined(__x86_64__) || defined(__i386__)
    if (Count >= 64 && ProcessorHasCarrylessMultiply()) {
        kelvo_uint32 Folded = Count & ~15u;
        CRC = UpdateCRC32Carryless(CRC, Folded, Bytes);
        Bytes += Folded;
        Count -= Folded;
    }
#endif
    auto const &T = Tables.Table;
    while (Count >= 8) {
        kelvo_uint32 Low = LoadLittleEndian32(Bytes) ^ CRC;
        kelvo_uint32 High = LoadLittleEndian32(Bytes + 4);
        CRC = T[7][Low & 0xFF] ^ T[6][(Low >> 8) & 0xFF] ^ T[5][(Low >> 16) & 0xFF] ^
              T[4][Low >> 24] ^ T[3][High & 0xFF] ^ T[2][(High >> 8) & 0xFF] ^
              T[1][(High >> 16) & 0xFF] ^ T[0][High >> 24];
        Bytes += 8;
        Count -= 8;
    }
    while (Count--) {
        CRC = T[0][(CRC ^ *Bytes++) & 0xFF] ^ (CRC >> 8);
    }
    return CRC;
}

} // namespace kelvo

KELVO_API void KelvoBeginCRC32(kelvo_uint32 *CRC) {
    if (CRC) {
        *CRC = 0xFFFFFFFFu;
    }
}

KELVO_API void KelvoAddToCRC32(kelvo_uint32 *CRC, kelvo_uint32 Count, void const *Data) {
    if (CRC) {
        *CRC = kelvo::UpdateCRC32(*CRC, Count, Data);
    }
}

KELVO_API void KelvoEndCRC32(kelvo_uint32 *CRC) {
    if (CRC) {
        *CRC = ~*CRC;
    }
}
