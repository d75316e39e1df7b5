// The faults of a release's files, all of them from one run: a command
// that refuses names every file at fault with its reason, so that the
// publisher can mend them all at once, and --report writes them to a file,
// one per line, the same bytes on every system.
#pragma once

#include <string>
#include <vector>

#include "fileio/toolkit/path_info.h"

// What is wrong with a file, as one stable word for the report.
namespace fault {
constexpr char kNameTooLong[] = "name-too-long";    // stored name over 15 bytes: no patch delivers it
constexpr char kTooLarge[] = "too-large";           // over the format's limits: no patch delivers it
constexpr char kNameRefused[] = "name-refused";     // code page 932 or the name rule refuses the name
constexpr char kRecordTooLong[] = "record-too-long";  // over 55 bytes: no hash list records it
constexpr char kOneFile[] = "one-file-on-windows";  // another name is the same file to Windows
constexpr char kNewFolder[] = "new-folder";         // a new file in a folder that OLD lacks
constexpr char kDiffers[] = "differs-from-list";    // OLD's file is not what OLD's list records
constexpr char kNotRecorded[] = "not-recorded";     // OLD's list does not record OLD's file
constexpr char kNotInGame[] = "not-in-the-game";    // a given path that does not say where it lies
}  // namespace fault

struct FileFault {
  // The file as the publisher finds it: the folder as given, then its path
  // there, parts joined by '/' on every system (FaultPath).
  std::string path;
  const char* kind = "";  // one of fault::
  std::string why;        // what is wrong and what to do; no path of this system's form
};

// A file's path for faults: folder as given (trailing separators dropped),
// then relative, parts joined by '/' (backslashes, which separate folders
// in the toolkit's paths on every system, become slashes).
std::string FaultPath(const std::string& folder, const std::string& relative);

// "path: why", as an error or warning line shows a fault.
std::string FaultLine(const FileFault& fault);

// The order in which faults are shown: by path as Windows takes names,
// letter case aside (WindowsNameKey: the order of the release's own walk,
// so that the names of one file come together), then by kind.
void SortFaults(std::vector<FileFault>* faults);

// The refusal for faults (at least one): the one fault's line, or else
// the summary, after which the command shows one fault per line.
std::string RefusalFor(const std::vector<FileFault>& faults, const std::string& summary);

// Refuses, before anything is written, a report that would overwrite one
// of the inputs or an output, or would be written into one of the release
// folders (where the next run would take it for a game file).
bool CheckReportPath(const std::string& report, const std::vector<std::string>& inputs,
                     const std::vector<std::string>& outputs,
                     const std::vector<PathInfo>& releaseFolders, std::string* error);

// What a made patch is, for support staff and scripts: one line per item,
// its kind first ("serves", "ends-at", "part", "carries", "list",
// "left-out"), then its fields.
using Manifest = std::vector<std::vector<std::string>>;

// The manifest's lines: a header line starting with "#" (the count of
// lines), then each line, fields separated by tabs, control characters
// shown as \xNN.
std::string ManifestText(const Manifest& manifest);

// Writes the report to path (through a temporary file, which removes the
// one that an interrupted run left; an existing report is replaced): three
// header lines starting with "#" (what ran, its result, the count of
// faults), then one line per fault: path TAB kind TAB why, control
// characters shown as \xNN, lines ending in a line feed; then, when given,
// the manifest (ManifestText).
bool WriteFaultReport(const std::string& path, const std::string& ran,
                      const std::string& result, const std::vector<FileFault>& faults,
                      std::string* error, const Manifest* manifest = nullptr);
