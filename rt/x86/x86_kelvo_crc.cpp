// CRC-32 by carry-less multiplication: folds 64 bytes per step with PCLMULQDQ
// and finishes with a Barrett reduction. The constants are powers of x modulo
// the reflected polynomial 0xEDB88320, so the result equals the table method's.
#include "foundation/kelvo_crc.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace kelvo {

// This file is compiled for processors with PCLMULQDQ and SSE4.1; callers
// check ProcessorHasCarrylessMultiply first.
kelvo_uint32 UpdateCRC32Carryless(kelvo_uint32 CRC, kelvo_uint32 Count, kelvo_uint8 const *Bytes) {
    alignas(16) static kelvo_uint64 const K1K2[2] = {0x0154442bd4ull, 0x01c6e41596ull};
    alignas(16) static kelvo_uint64 const K3K4[2] = {0x01751997d0ull, 0x00ccaa009eull};
    alignas(16) static kelvo_uint64 const K5K0[2] = {0x0163cd6124ull, 0x0000000000ull};
    alignas(16) static kelvo_uint64 const Poly[2] = {0x01db710641ull, 0x01f7011641ull};

    auto Load = [](kelvo_uint8 const *At) {
        return _mm_loadu_si128(reinterpret_cast<__m128i const *>(At));
    };
    __m128i X1 = _mm_xor_si128(Load(Bytes), _mm_cvtsi32_si128((int)CRC));
    __m128i X2 = Load(Bytes + 16);
    __m128i X3 = Load(Bytes + 32);
    __m128i X4 = Load(Bytes + 48);
    Bytes += 64;
    Count -= 64;

    __m128i K = _mm_load_si128(reinterpret_cast<__m128i const *>(K1K2));
    auto Fold = [&K](__m128i Value, __m128i Next) {
        __m128i Low = _mm_clmulepi64_si128(Value, K, 0x00);
        __m128i High = _mm_clmulepi64_si128(Value, K, 0x11);
        return _mm_xor_si128(_mm_xor_si128(High, Low), Next);
    };
    while (Count >= 64) {
        X1 = Fold(X1, Load(Bytes));
        X2 = Fold(X2, Load(Bytes + 16));
        X3 = Fold(X3, Load(Bytes + 32));
        X4 = Fold(X4, Load(Bytes + 48));
        Bytes += 64;
        Count -= 64;
    }

    K = _mm_load_si128(reinterpret_cast<__m128i const *>(K3K4));
    X1 = Fold(X1, X2);
    X1 = Fold(X1, X3);
    X1 = Fold(X1, X4);
    while (Count >= 16) {
        X1 = Fold(X1, Load(Bytes));
        Bytes += 16;
        Count -= 16;
    }

    // 128 bits down to 64.
    __m128i Mask = _mm_setr_epi32(~0, 0, ~0, 0);
    X2 = _mm_clmulepi64_si128(X1, K, 0x10);
    X1 = _mm_xor_si128(_mm_srli_si128(X1, 8), X2);
    K = _mm_loadl_epi64(reinterpret_cast<__m128i const *>(K5K0));
    X2 = _mm_srli_si128(X1, 4);
    X1 = _mm_and_si128(X1, Mask);
    X1 = _mm_xor_si128(_mm_clmulepi64_si128(X1, K, 0x00), X2);

    // Barrett reduction to 32 bits.
    K = _mm_load_si128(reinterpret_cast<__m128i const *>(Poly));
    X2 = _mm_and_si128(X1, Mask);
    X2 = _mm_clmulepi64_si128(X2, K, 0x10);
    X2 = _mm_and_si128(X2, Mask);
    X2 = _mm_clmulepi64_si128(X2, K, 0x00);
    X1 = _mm_xor_si128(X1, X2);
    return (kelvo_uint32)_mm_extract_epi32(X1, 1);
}

} // namespace kelvo

#endif
