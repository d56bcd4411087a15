/* kelvo2: writing typed object trees into files. The writer walks a root
   object through its type definition and writes every object, definition
   and string it reaches into a file builder, each shared one once, with the
   pointer and marshalling fix-ups that tie them together. */
#ifndef KELVO2_DATA_TREE_WRITER_H
#define KELVO2_DATA_TREE_WRITER_H

#include "kelvo2_data_type.h"
#include "kelvo2_file.h"
#include "kelvo2_file_builder.h"
#include "kelvo2_types.h"

typedef struct kelvo_file_data_tree_writer kelvo_file_data_tree_writer;

typedef kelvo_int32 kelvo_file_data_tree_flags;
enum kelvo_file_data_tree_flags_value {
    /* The root's type is stored as KelvoEmptyType. */
    KelvoExcludeTypeTree = 0x1
};

/* Replaces a string (or member name) by a pointer-sized value of the
   caller's; no string data is then written. */
typedef kelvo_uintaddrx KELVO_CALLBACK kelvo_file_writer_string_callback(void *UserData,
                                                                         char const *String);

/* Null when the writer cannot be allocated. */
KELVO_API kelvo_file_data_tree_writer *
KelvoBeginFileDataTreeWriting(kelvo_data_type_definition const *RootObjectTypeDefinition,
                              void *RootObject, kelvo_int32 DefaultTypeSectionIndex,
                              kelvo_int32 DefaultObjectSectionIndex);
/* Blocks lying inside one of the file's loaded sections go to the section
   of the same index unless an object's section was set explicitly. The file
   must outlive the writing. */
KELVO_API void KelvoPreserveFileSections(kelvo_file_data_tree_writer *Writer,
                                         kelvo_file const *SourceFile);
KELVO_API void KelvoSetFileDataTreeFlags(kelvo_file_data_tree_writer *Writer,
                                         kelvo_file_data_tree_flags Flags);
KELVO_API void KelvoSetFileSectionForObjectsOfType(kelvo_file_data_tree_writer *Writer,
                                                   kelvo_data_type_definition const *Type,
                                                   kelvo_int32 SectionIndex);
KELVO_API void KelvoSetFileSectionForObject(kelvo_file_data_tree_writer *Writer, void const *Object,
                                            kelvo_int32 SectionIndex);
KELVO_API void KelvoSetFileWriterStringCallback(kelvo_file_data_tree_writer *Writer,
                                                kelvo_file_writer_string_callback *Callback,
                                                void *UserData);
/* Writes the tree and marks the builder's root. The tree may be written to
   several builders in turn; it must not change in between. */
KELVO_API kelvo_bool32 KelvoWriteDataTreeToFileBuilder(kelvo_file_data_tree_writer *Writer,
                                                       kelvo_file_builder *Builder);
KELVO_API kelvo_bool32 KelvoWriteDataTreeToFile(kelvo_file_data_tree_writer *Writer,
                                                kelvo_uint32 FileTypeTag,
                                                kelvo_file_magic_value const *FileMagicValue,
                                                char const *FileName, kelvo_int32 SectionCount);
KELVO_API void KelvoEndFileDataTreeWriting(kelvo_file_data_tree_writer *Writer);

#endif
