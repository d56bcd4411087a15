/* kelvo2: loading .kv2 files. A loaded file owns its sections: each is a
   block of its expanded data with live pointers, in this build's byte order,
   unless the application placed it in its own memory.

   Loading is one call (by name, from memory or from a reader) or step by
   step: read the header, read chosen sections, load their pointer fix-ups,
   then run phase 1 (pointers) on every section before phase 2 (mixed records
   of byte-reversed files, and their pointers again) on any.

   Nothing read from a file is trusted: sizes, offsets, counts, fix-ups and
   the root are checked against the file and the loaded sections. A fault in
   the header gives a null file; one in a section leaves that section null.
   Files of the other pointer size are rebuilt for this build on the way in
   (slowly: the whole tree is walked and copied). */
#ifndef KELVO2_FILE_H
#define KELVO2_FILE_H

#include "kelvo2_data_type.h"
#include "kelvo2_file_format.h"
#include "kelvo2_file_reader.h"
#include "kelvo2_types.h"

/* The record, the magic value copy and the three arrays are one block; the
   header (with its section array, in native order) is another. */
typedef struct kelvo_file {
    kelvo_bool32 IsByteReversed; /* written in the other byte order */
    kelvo_file_header *Header;
    kelvo_file_magic_value *SourceMagicValue; /* as stored */
    kelvo_int32 SectionCount;
    void **Sections;            /* null where empty or not loaded */
    kelvo_bool8 *Marshalled;    /* in native byte order, mixed records included */
    kelvo_bool8 *IsUserMemory;  /* the application's memory: never freed here */
    void *ConversionBuffer;     /* the root converted to the current layout */
    void **AppliedFixups;       /* per section, the library's own: what its fix-ups wrote */
} kelvo_file;

/* Defined with the asset records. */
struct kelvo_file_info;

KELVO_API kelvo_file *KelvoReadEntireFile(char const *FileName);
KELVO_API kelvo_file *KelvoReadEntireFileFromMemory(kelvo_int32 MemorySize, void const *Memory);
KELVO_API kelvo_file *KelvoReadEntireFileFromReader(kelvo_file_reader *Reader);

/* The header only; sections are read one by one below. */
KELVO_API kelvo_file *KelvoReadPartialFileFromReader(kelvo_file_reader *Reader);
KELVO_API void KelvoReadFileSection(kelvo_file_reader *Reader, kelvo_file *File,
                                    kelvo_int32 SectionIndex);
/* Memory (ExpandedDataSize bytes, aligned as the section asks) stays the
   application's; null allocates as KelvoReadFileSection does. */
KELVO_API void KelvoReadFileSectionInPlace(kelvo_file_reader *Reader, kelvo_file *File,
                                           kelvo_int32 SectionIndex, void *Memory);
/* The section's pointer fix-ups in native order, or null when it has none or
   they cannot be read. Freed through the deallocation callback. */
KELVO_API kelvo_pointer_fixup *KelvoLoadFixupArray(kelvo_file_reader *Reader,
                                                   kelvo_section_header const *Section,
                                                   kelvo_bool32 FileIsByteReversed);
KELVO_API void KelvoFixupFileSectionPhase1(kelvo_file *File, kelvo_int32 SectionIndex,
                                           kelvo_pointer_fixup const *PointerFixupArray);
KELVO_API void KelvoFixupFileSectionPhase2(kelvo_file_reader *Reader, kelvo_file *File,
                                           kelvo_int32 SectionIndex,
                                           kelvo_pointer_fixup const *PointerFixupArray);

KELVO_API void KelvoFreeFileSection(kelvo_file *File, kelvo_int32 SectionIndex);
KELVO_API void KelvoFreeAllFileSections(kelvo_file *File);
KELVO_API void KelvoFreeFile(kelvo_file *File);

/* The root object with its type definition; both null when the root does
   not lie inside loaded sections. */
KELVO_API void KelvoGetDataTreeFromFile(kelvo_file const *File, kelvo_variant *Result);
/* The root in the library's current layout, after KelvoCheckFileDataTree
   (null when that fails): the root itself when the file's type tag is
   KelvoCurrentTypeTag and its stored definition is KelvoFileInfoType, names
   included; otherwise a tree converted once and kept with the file. */
KELVO_API struct kelvo_file_info *KelvoGetFileInfo(kelvo_file *File);
KELVO_API kelvo_uint32 KelvoGetFileTypeTag(kelvo_file const *File);
/* Whether everything reachable from the root through the file's own type
   definitions (objects, arrays, definitions, strings) lies inside loaded
   sections and every definition is well formed, so that the typed-tree
   operations may walk it. The loader checks pointers it fixes up, not the
   counts and terminators a file supplies: call this before walking a tree
   from a file that is not trusted. It also refuses trees whose meaning
   loading would change: objects off their alignment or outside the region
   of their section that their byte order asks for, pointer fix-ups that
   wrote anything but the tree's pointers, pointers no fix-up wrote, and in
   byte-reversed files marshalling that does not match the tree's mixed
   records. Faults are reported under FileReading. */
KELVO_API kelvo_bool32 KelvoCheckFileDataTree(kelvo_file const *File);
/* The first section whose expanded data holds Object, or -1. */
KELVO_API kelvo_int32 KelvoGetFileSectionOfLoadedObject(kelvo_file const *File,
                                                        void const *Object);

/* Whether the stored CRC matches the bytes from the section array on. */
KELVO_API kelvo_bool32 KelvoFileCRCIsValid(char const *FileName);
/* CRC-32 of the loaded sections' expanded data as it stands in memory. */
KELVO_API kelvo_uint32 KelvoGetInMemoryFileCRC(kelvo_file const *File);

#endif
