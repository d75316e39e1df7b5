// Toolkit only: an output file written through a temporary name beside it.
// Until Commit, the named file is not touched; a failure or an abandoned
// output leaves no partial file behind, and an existing file stays intact.
#pragma once

#include <cstdint>
#include <string>

#include "fileio/disk_file.h"

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
  const std::string& TempPath() const { return temp_; }
  bool Write(const void* data, uint32_t size, std::string* error);
  // Writes size zero bytes.
  bool WriteZeros(uint64_t size, std::string* error);
  // Closes the temporary file and puts it in place of the named file.
  bool Commit(std::string* error);

 private:
  void Discard();
  bool Reserve(bool create, std::string* error);

  std::string path_;
  std::string temp_;
  DiskFile file_;
  bool created_ = false;
  bool committed_ = false;
};

// Whether anything (a file or a folder) exists at path.
bool PathExists(const std::string& path);
