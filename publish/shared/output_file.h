// An output file written through a temporary name beside it. Until Commit,
// the named file is not touched; a failure, an abandoned output or an
// interruption (Ctrl-C; fileio/toolkit/interruption.h) leaves no partial
// file behind, and an existing file stays intact. Errors name the user's
// file, not the temporary one, and give the system's reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "fileio/toolkit/interruption.h"

// What an output holds, by which the temporary file that an earlier run
// of the same command left (killed, or cut off by a power failure) is
// known: its first bytes.
enum class OutputKind {
  kAny,       // anything: a leftover is never taken for one's own
  kProgram,   // a patch ("MZ")
  kHashList,  // a hash list ("JXW_____")
  kReport,    // the report of hashlist or make ("# patchtool ")
};

class OutputFile {
 public:
  explicit OutputFile(const std::string& path, OutputKind kind = OutputKind::kAny)
      : path_(path), kind_(kind) {}
  // Removes the temporary file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file, always anew and never through a link
  // (O_EXCL and O_NOFOLLOW; CREATE_NEW): whatever has a temporary name
  // stays as it is and the next name is tried (.part, .part1 to .part99),
  // but for a leftover of an earlier run of the same kind, which is
  // removed first (RemoveOwnLeftover). On failure *error says why.
  bool Open(std::string* error);
  // Instead of Open: picks a free temporary name for another program to
  // create (TempPath), which must create it as Open does (osslsigncode
  // does). Whatever stands there is removed unless committed.
  bool ChooseName(std::string* error);
  // Its Commit completes the command's work: once it is in place an
  // interruption no longer stops the command, which goes on to report it
  // (WorkIsDone in fileio/toolkit/interruption.h).
  void CompletesTheWork() { completes_ = true; }
  const std::string& path() const { return path_; }
  const std::string& TempPath() const { return temp_; }
  bool Write(const void* data, uint32_t size, std::string* error);
  // Writes size zero bytes.
  bool WriteZeros(uint64_t size, std::string* error);
  // Closes the temporary file, so that it can be read back before Commit.
  void CloseTemp() { file_.Close(); }
  // Closes the temporary file and puts it in place of the named file.
  bool Commit(std::string* error);
  // The same where nothing may stand at the path: a file that appeared
  // there meanwhile is neither replaced nor lost.
  bool CommitAsNew(std::string* error);

 private:
  friend bool CommitSet(const std::vector<OutputFile*>& outputs, bool completesTheWork,
                        std::vector<std::string>* warnings, std::string* error);
  void Discard();
  bool Reserve(bool create, std::string* error);
  bool Place(bool replace, std::string* error);
  std::string WhyNotWritable() const;
  std::string WhyNotReplaced(bool existed, int code) const;

  std::string path_;
  OutputKind kind_;
  std::string temp_;
  PartialFile partial_;  // the temporary, for as long as it may exist
  DiskFile file_;
  bool created_ = false;
  bool committed_ = false;
  bool completes_ = false;
};

// Puts outputs in place as one set (the parts of a split, which players
// run in order): never half old, half new. Until every one is in place,
// the files they replace stay whole (each moves aside, under a temporary
// name, only for the moment of the exchange); on any failure each of them
// is back where it was and no new one is left; an interruption waits
// until the set is in place or back. completesTheWork as for
// CompletesTheWork. *warnings gets what could not be tidied afterwards.
bool CommitSet(const std::vector<OutputFile*>& outputs, bool completesTheWork,
               std::vector<std::string>* warnings, std::string* error);

// Whether a file's name is one that OutputFile gives its temporary files
// (NAME.part, NAME.part1 to NAME.part99): what an interrupted or killed run
// may leave, which is never a release's file.
bool IsPartialFileName(const std::string& name);

// A file that a command reads, and what it is to the user ("the stub",
// "the FILE", "the certificate").
struct NamedInput {
  std::string role;
  std::string path;
};

// Refuses, before anything is written, an output that is a folder or the
// same file as one of the inputs (also through another name or a hard
// link): writing it would destroy that input.
bool CheckOutputPath(const std::string& output, const std::vector<NamedInput>& inputs,
                     std::string* error);

// Opens an input for reading; on failure *error names it (what it is
// first, when what is given: "the stub") and gives the reason.
bool OpenInput(DiskFile* file, const std::string& path, const std::string& what,
               std::string* error);
