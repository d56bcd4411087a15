// What the kv2 commands share about files: the library's messages on
// stderr, one notion of a valid file, and outputs that replace an existing
// file only once they are whole.
#ifndef KV2_FILES_H
#define KV2_FILES_H

#include "kelvo2.h"

#include <functional>
#include <string>

namespace kv2 {

// From now on the library's warnings and errors are printed on stderr and
// counted; notes stay quiet.
void ReportLibraryMessages();

// What the library reported since a mark was taken: the count of warnings
// and errors (a failed read or write is a warning and otherwise looks like
// the end of the file or a plain failure), of errors alone, and the text of
// the first error, or else the first warning, without its source location.
class library_reports {
  public:
    library_reports();
    int Problems() const;
    int Errors() const;
    // Otherwise when nothing was reported.
    std::string FirstError(char const *Otherwise) const;

  private:
    int ProblemsAtMark;
    int ErrorsAtMark;
};

// A reader of FileName, or null with Reason saying why it cannot be opened.
kelvo_file_reader *OpenFileReader(char const *FileName, std::string &Reason);

enum class crc_mismatch { Refuse, Warn };

// Loads FileName and checks it as `kv2 check` does: it opens as a regular
// file, its header reads, its stored CRC matches (or a mismatch is only
// warned about), every section loads and fixes up without the library reporting
// an error, and its tree has a root and lies inside the loaded sections
// (by the library's check and by the walk behind `kv2 dump`). Returns the
// loaded file, or null with Reason saying why the file is not valid.
kelvo_file *LoadValidFile(char const *FileName, crc_mismatch Crc, std::string &Reason);

// Rewrites In into Out for the commands that rewrite files: In must be
// valid, and Write(Temporary, Reason) writes the new file, which replaces
// Out only when it is whole; a Write that fails may say why (otherwise the
// library's first error does). Out may be In. Returns the exit status after
// reporting any failure, naming the file it is about.
int RewriteFile(char const *In, char const *Out, crc_mismatch Crc, char const *Verb,
                std::function<bool(char const *Temporary, std::string &Reason)> const &Write);

// Walks the options after IN OUT of the commands that rewrite files: the
// value-less --ignore-crc, which sets Crc to Warn, and NAME VALUE pairs, each
// handed to Take, which returns false for a name or value it refuses. False
// when an option is refused, given twice (--ignore-crc) or lacks its value.
// Writes IN to Copy with the CRC of its bytes in the header, so that a file
// rewritten with --ignore-crc goes where only matching files may.
bool CopyWithMatchingCRC(char const *In, char const *Copy, std::string &Reason);

bool WalkRewriteOptions(int ArgumentCount, char **Arguments, crc_mismatch &Crc,
                        std::function<bool(char const *Name, char const *Value)> const &Take);
// Reads a platform name (32le, 32be, 64le or 64be) into its magic value.
bool ParsePlatform(char const *Name, kelvo_file_magic_value &Magic);
// Writes In to Out with every section in Format (-1: as stored) and, when
// Magic is given, for that platform; false on failure, Reason perhaps set.
bool WriteConverted(char const *In, char const *Out, int Format,
                    kelvo_file_magic_value const *Magic, std::string &Reason);

// Prints "kv2: FILE: REASON" on stderr (after what is on stdout) and
// returns the exit status of a failure.
int Refuse(char const *FileName, std::string const &Reason);

// A file written under a temporary name beside Destination and renamed over
// it by Commit, so that a failure at any step leaves an existing file as it
// was. The temporary is removed unless committed.
class staged_output {
  public:
    explicit staged_output(char const *Destination);
    ~staged_output();
    staged_output(staged_output const &) = delete;
    staged_output &operator=(staged_output const &) = delete;

    // Creates the temporary (with the mode of the file it replaces); false
    // with Reason when it cannot be created or Destination is no file.
    bool Create(std::string &Reason);
    char const *Path() const { return Temporary.c_str(); }
    bool Commit(std::string &Reason);

  private:
    std::string Destination;
    std::string Temporary;
    bool Committed = false;
};

} // namespace kv2

#endif
