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

class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : path_(path) {}
  // Removes the temporary file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file. On failure *error says why.
  bool Open(std::string* error);
  // Instead of Open: picks a free temporary name for another program to
  // create (TempPath). Whatever stands there is removed unless committed.
  bool ChooseName(std::string* error);
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
  void Discard();
  bool Reserve(bool create, std::string* error);
  bool Place(bool replace, std::string* error);
  std::string WhyNotWritable() const;

  std::string path_;
  std::string temp_;
  PartialFile partial_;  // the temporary, for as long as it may exist
  DiskFile file_;
  bool created_ = false;
  bool committed_ = false;
};

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
