#include "publish/shared/file_faults.h"

#include <algorithm>
#include <cstdio>

#include "fileio/name_case.h"
#include "publish/shared/output_file.h"
#include "publish/shared/windows_names.h"
#include "publish/shared/wording.h"

namespace {

// Both, on every system: the toolkit's paths take either (path_info.h).
bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Control characters (a tab or a line feed in a Linux file name) as \xNN,
// so that a fault stays one line and its fields stay apart.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7F) {
      out += c;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
    out += escaped;
  }
  return out;
}

// Whether two outputs, which need not exist yet, are one file: the same
// folder and the same name, letter case aside as Windows takes it.
bool SameOutput(const std::string& a, const std::string& b) {
  PathInfo folderA, folderB;
  std::string dirA = FolderOf(a), dirB = FolderOf(b);
  if (!GetPathInfo(dirA.empty() ? "." : dirA, &folderA) ||
      !GetPathInfo(dirB.empty() ? "." : dirB, &folderB)) {
    return a == b;
  }
  return SameFile(folderA, folderB) && SameFileName(NameOf(a).c_str(), NameOf(b).c_str()) == 1;
}

}  // namespace

std::string FaultPath(const std::string& folder, const std::string& relative) {
  std::string out = folder;
  while (out.size() > 1 && IsSeparator(out.back())) out.pop_back();
  if (!out.empty() && !IsSeparator(out.back())) out += '/';
  out += relative;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string FaultLine(const FileFault& fault) { return fault.path + ": " + fault.why; }

void SortFaults(std::vector<FileFault>* faults) {
  std::stable_sort(faults->begin(), faults->end(), [](const FileFault& a, const FileFault& b) {
    std::string pathA = WindowsNameKey(a.path), pathB = WindowsNameKey(b.path);
    if (pathA != pathB) return pathA < pathB;
    return std::string(a.kind) < std::string(b.kind);
  });
}

std::string RefusalFor(const std::vector<FileFault>& faults, const std::string& summary) {
  return faults.size() == 1 ? FaultLine(faults[0]) : summary;
}

bool CheckReportPath(const std::string& report, const std::vector<std::string>& inputs,
                     const std::vector<std::string>& outputs,
                     const std::vector<PathInfo>& releaseFolders, std::string* error) {
  std::vector<NamedInput> named;
  for (const std::string& input : inputs) named.push_back({"the release file", input});
  if (!CheckOutputPath(report, named, error)) {
    *error = "--report: " + *error;
    return false;
  }
  for (const std::string& output : outputs) {
    if (SameOutput(report, output)) {
      *error = "--report " + report + " is the output " + output + ": give the report a name "
               "of its own";
      return false;
    }
  }
  std::string folder = FolderOf(report);
  PathInfo info;
  if (!GetPathInfo(folder.empty() ? "." : folder, &info) || !info.folder) {
    *error = "cannot write the report " + report + ": its folder " + folder + " does not exist";
    return false;
  }
  for (const PathInfo& releaseFolder : releaseFolders) {
    if (SameFile(info, releaseFolder)) {
      *error = "--report " + report + " would be written into a release folder, where the "
               "next run would take it for a game file; write it elsewhere";
      return false;
    }
  }
  return true;
}

std::string ManifestText(const Manifest& manifest) {
  std::string text = "# manifest: " + std::to_string(manifest.size()) +
                     " (one per line: what, then its fields, separated by tabs)\n";
  for (const std::vector<std::string>& line : manifest) {
    for (size_t i = 0; i < line.size(); ++i) text += (i == 0 ? "" : "\t") + Escaped(line[i]);
    text += "\n";
  }
  return text;
}

bool WriteFaultReport(const std::string& path, const std::string& ran,
                      const std::string& result, const std::vector<FileFault>& faults,
                      std::string* error, const Manifest* manifest) {
  std::string text = "# patchtool " + Escaped(ran) + "\n# result: " + Escaped(result) +
                     "\n# faults: " + std::to_string(faults.size()) +
                     " (one per line: path, fault and why, separated by tabs)\n";
  for (const FileFault& fault : faults) {
    text += Escaped(fault.path) + "\t" + fault.kind + "\t" + Escaped(fault.why) + "\n";
  }
  if (manifest != nullptr) text += ManifestText(*manifest);
  OutputFile out(path, OutputKind::kReport);
  return out.Open(error) &&
         out.Write(text.data(), static_cast<uint32_t>(text.size()), error) &&
         out.Commit(error);
}
