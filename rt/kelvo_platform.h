// The seam between the library and the operating system. Everything the
// library needs from the system is declared here and implemented once per
// platform (rt/posix/ now; a Windows layer implements the same list).
#ifndef KELVO_PLATFORM_H
#define KELVO_PLATFORM_H

#include "kelvo2/kelvo2_file_reader.h"
#include "kelvo2/kelvo2_file_writer.h"
#include "kelvo2/kelvo2_types.h"

namespace kelvo {

// Process heap. Null on failure.
void *PlatformHeapAllocate(kelvo_uint32 Size);
void PlatformHeapFree(void *Memory);

// High-resolution counter and its frequency (counts per second), the
// millisecond tick count, and sleeping.
kelvo_uint64 PlatformPerformanceCounter();
kelvo_uint64 PlatformPerformanceFrequency();
kelvo_uint32 PlatformTickCount();
void PlatformSleepMilliseconds(kelvo_uint32 Milliseconds);

// The calling thread's last system error code (0 for none), its text, and
// clearing it before a call whose failure is judged by the code.
kelvo_int32 PlatformLastErrorCode();
void PlatformSetLastErrorCode(kelvo_int32 Code);
void PlatformErrorText(kelvo_int32 Code, char *Buffer, kelvo_int32 BufferSize);

// The system's temporary directory, as the system gives it. False when the
// system has none that fits.
bool PlatformGetTemporaryPath(char *Buffer, kelvo_int32 BufferSize);

// Removes a file by name; failures are reported as system errors.
bool PlatformDeleteFile(char const *FileName);

// Creates a new empty file named after Beside in its directory (so that a
// rename onto Beside stays on one file system), never opening an existing
// one, and puts its name in Name. False when no name fits NameSize or no
// file can be created; failures are reported as system errors.
bool PlatformCreateFileBeside(char const *Beside, char *Name, kelvo_int32 NameSize);
// Puts the file Source in place of Destination in one step: readers see the
// old file or the new one, never a part. False (reported) leaves both.
bool PlatformReplaceFile(char const *Source, char const *Destination);

// The operating-system reader and writer (the defaults of the open callbacks).
kelvo_file_reader *PlatformCreateFileReader(char const *SourceFileName,
                                            kelvo_int32 SourceLineNumber, char const *FileName);
kelvo_file_writer *PlatformCreateFileWriter(char const *SourceFileName,
                                            kelvo_int32 SourceLineNumber, char const *FileName,
                                            kelvo_bool32 EraseExisting);

} // namespace kelvo

#endif
