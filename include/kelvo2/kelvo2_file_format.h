/* kelvo2: the .kv2 file layout. A file is a flat image of a tree of records
   cut into numbered sections. In order: the 32-byte magic value record, the
   56-byte file header, one 44-byte section header per section, then each
   section's stored bytes, pointer fix-ups and marshalling fix-ups, each
   started on a 4-byte boundary and located only through the section headers.

   Every field is 32 bits, stored in the byte order of the writing platform,
   which the magic value tells together with its pointer size. The records
   below hold no pointers, so they are the same in every build. Operations on
   headers, section arrays and fix-ups take them in native byte order.

   Pointers in a section are zero on disk; a pointer fix-up names the field and
   the section and offset it must point to after loading. Sections hold three
   regions: [0, First16Bit) of 32-bit words, [First16Bit, First8Bit) of 16-bit
   words, and [First8Bit, ExpandedDataSize) of bytes and of records that mix
   element sizes, which marshalling fix-ups reverse one by one. */
#ifndef KELVO2_FILE_FORMAT_H
#define KELVO2_FILE_FORMAT_H

#include "kelvo2_types.h"

/* How a section's bytes are stored. */
typedef kelvo_int32 kelvo_compression_type;
enum kelvo_compression_type_value {
    KelvoNoCompression = 0,
    KelvoFenwa0Compression = 1, /* read only */
    KelvoFenwa1Compression = 2,
    KelvoOnePastLastCompressionType = 3
};

/* The sections the library's own files use. */
typedef kelvo_int32 kelvo_standard_section_index;
enum kelvo_standard_section_index_value {
    KelvoStandardMainSection = 0,
    KelvoStandardRigidVertexSection = 1,
    KelvoStandardRigidIndexSection = 2,
    KelvoStandardDeformableVertexSection = 3,
    KelvoStandardDeformableIndexSection = 4,
    KelvoStandardTextureSection = 5,
    KelvoStandardDiscardableSection = 6,
    KelvoStandardUnloadedSection = 7,
    KelvoStandardSectionCount = 8
};

/* At file offset 0. HeaderSize is 88 + 44 x the section count: the magic
   value record, the header and the section array. */
typedef struct kelvo_file_magic_value {
    kelvo_uint32 MagicValue[4];
    kelvo_uint32 HeaderSize;
    kelvo_uint32 HeaderFormat; /* 0; files with any other value are refused */
    kelvo_uint32 Reserved[2];
} kelvo_file_magic_value;

/* An address in a loaded file: that section's expanded data plus Offset. */
typedef struct kelvo_file_reference {
    kelvo_uint32 SectionIndex;
    kelvo_uint32 Offset;
} kelvo_file_reference;

/* The TypeTag of files whose tree uses this library's asset definitions;
   KelvoGetFileInfo converts the tree of a file with any other tag. */
#define KelvoCurrentTypeTag 0x80000020u

/* At file offset 32. */
typedef struct kelvo_file_header {
    kelvo_uint32 Version;   /* file format revision, 6 */
    kelvo_uint32 TotalSize; /* the whole file, magic value record included */
    /* CRC-32 of every byte from the section array to the end of the file. */
    kelvo_uint32 CRC;
    kelvo_uint32 SectionArrayOffset; /* from the start of this header: 56 */
    kelvo_uint32 SectionArrayCount;
    kelvo_file_reference RootObjectTypeDefinition;
    kelvo_file_reference RootObject;
    kelvo_uint32 TypeTag;      /* run-time tag of the tree's type definitions */
    kelvo_uint32 ExtraTags[4]; /* the application's; 0 unless set */
} kelvo_file_header;

typedef struct kelvo_section_header {
    kelvo_uint32 Format;           /* a kelvo_compression_type */
    kelvo_uint32 DataOffset;       /* file offset of the stored bytes */
    kelvo_uint32 DataSize;         /* stored bytes, compressed size when compressed */
    kelvo_uint32 ExpandedDataSize; /* once loaded; 0 for an empty section */
    kelvo_uint32 InternalAlignment;
    kelvo_uint32 First16Bit;
    kelvo_uint32 First8Bit;
    kelvo_uint32 PointerFixupArrayOffset; /* file offset */
    kelvo_uint32 PointerFixupArrayCount;
    kelvo_uint32 MixedMarshallingFixupArrayOffset; /* file offset */
    kelvo_uint32 MixedMarshallingFixupArrayCount;
} kelvo_section_header;

/* The pointer at FromOffset in its section becomes the address of To, or
   null when To's section is not loaded. */
typedef struct kelvo_pointer_fixup {
    kelvo_uint32 FromOffset;
    kelvo_file_reference To;
} kelvo_pointer_fixup;

/* Count consecutive records at Offset in their section, each of the type
   definition at Type, are byte-reversed member by member. */
typedef struct kelvo_marshalling_fixup {
    kelvo_uint32 Count;
    kelvo_uint32 Offset;
    kelvo_file_reference Type;
} kelvo_marshalling_fixup;

/* The known magic values, as stored in files; the last 16 bytes are zero.
   Each is a pointer to its record. ThisPlatform is the value of this build's
   pointer size and byte order. */
KELVO_API kelvo_file_magic_value const *const KelvoKVNFileMV_32Bit_LittleEndian;
KELVO_API kelvo_file_magic_value const *const KelvoKVNFileMV_32Bit_BigEndian;
KELVO_API kelvo_file_magic_value const *const KelvoKVNFileMV_64Bit_LittleEndian;
KELVO_API kelvo_file_magic_value const *const KelvoKVNFileMV_64Bit_BigEndian;
KELVO_API kelvo_file_magic_value const *const KelvoKVNFileMV_Old;
KELVO_API kelvo_file_magic_value const *const KelvoKVNFileMV_ThisPlatform;

/* Copies the magic value record of a pointer size (32 or 64) and byte order;
   false when there is none. */
KELVO_API kelvo_bool32 KelvoGetMagicValueForPlatform(kelvo_int32 PointerSizeInBits,
                                                     kelvo_bool32 IsLittleEndian,
                                                     kelvo_file_magic_value *MagicValue);

/* The pointer size and byte order a magic value stands for; it is recognised
   in either word order. False, with a warning and both outputs cleared, when
   it is unknown. Either output may be null. */
KELVO_API kelvo_bool32 KelvoGetMagicValueProperties(kelvo_file_magic_value const *MagicValue,
                                                    kelvo_int32 *PointerSizeInBits,
                                                    kelvo_bool32 *IsLittleEndian);
KELVO_API kelvo_bool32 KelvoGetThisPlatformProperties(kelvo_int32 *PointerSizeInBits,
                                                      kelvo_bool32 *IsLittleEndian);

/* Whether a magic value record opens a file the library reads, with its
   HeaderSize in native order and whether the file's byte order and pointer
   size differ from this build's. The outputs (each may be null) read 0 when
   the result is false. */
KELVO_API kelvo_bool32 KelvoIsKelvoFile(kelvo_file_magic_value const *MagicValue,
                                        kelvo_uint32 *HeaderSize, kelvo_bool32 *IsByteReversed,
                                        kelvo_bool32 *PointerSizeDiffers);

/* The section array that follows a header in memory. The header's offset is
   trusted; the header stays const for callers that only read, like strchr. */
KELVO_API kelvo_section_header *KelvoGetKVNSectionArray(kelvo_file_header const *Header);

/* "0 - StandardMainSection" and so on; "(non-standard section)" (reported)
   for any other index. */
KELVO_API char const *KelvoGetStandardSectionName(kelvo_int32 SectionIndex);

/* Reverses the 32-bit and 16-bit regions of a section in place. Regions are
   cut at End, so nothing past a section's expanded size is touched. */
KELVO_API void KelvoReverseSection(kelvo_uint32 First16Bit, kelvo_uint32 First8Bit,
                                   kelvo_uint32 End, void *SectionData);

/* Apply a section's pointer fix-ups and marshalling fix-ups. Sections holds
   the base address of every section of the file, null where not loaded.
   These forms trust the arrays; files read by the library are fixed up by
   forms that check every offset against the sections' sizes. */
KELVO_API void KelvoKVNFixUp(kelvo_int32 FixupCount, kelvo_pointer_fixup const *Fixups,
                             void *const *Sections, void *SectionBase);
KELVO_API void KelvoKVNMarshall(kelvo_int32 FixupCount, kelvo_marshalling_fixup const *Fixups,
                                void *const *Sections, void *SectionBase);

/* The section's base plus the offset; null when the section is not loaded. */
KELVO_API void *KelvoDecodeKVNReference(void *const *Sections,
                                        kelvo_file_reference const *Reference);

/* Bytes a reader allocates after the stored bytes of a section of this
   compression type: 4 for the compressed types, 0 otherwise. */
KELVO_API kelvo_int32 KelvoGetCompressedBytesPaddingSize(kelvo_compression_type Format);

#endif
