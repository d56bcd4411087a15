/* kelvo2: basic types and the export macro shared by every public header. */
#ifndef KELVO2_TYPES_H
#define KELVO2_TYPES_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(KELVO_BUILDING_LIBRARY)
#define KELVO_EXPORT __declspec(dllexport)
#else
#define KELVO_EXPORT __declspec(dllimport)
#endif
#define KELVO_CALLBACK __stdcall
#else
#define KELVO_EXPORT __attribute__((visibility("default")))
#define KELVO_CALLBACK
#endif

#ifdef __cplusplus
#define KELVO_EXTERN_C extern "C"
#else
#define KELVO_EXTERN_C extern
#endif

/* Every exported function and data symbol is declared through KELVO_API. */
#define KELVO_API KELVO_EXTERN_C KELVO_EXPORT

typedef int8_t kelvo_int8;
typedef uint8_t kelvo_uint8;
typedef int16_t kelvo_int16;
typedef uint16_t kelvo_uint16;
typedef int32_t kelvo_int32;
typedef uint32_t kelvo_uint32;
typedef int64_t kelvo_int64;
typedef uint64_t kelvo_uint64;
typedef float kelvo_real32;
typedef double kelvo_real64;
typedef kelvo_int32 kelvo_bool32;
typedef kelvo_uint8 kelvo_bool8;
/* Integers as wide as a pointer of this build. */
typedef intptr_t kelvo_intaddrx;
typedef uintptr_t kelvo_uintaddrx;

#endif
