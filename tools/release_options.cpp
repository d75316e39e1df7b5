#include "tools/release_options.h"

bool SetExclusions(const Arguments& args, Exclusions* exclusions, std::string* error) {
  if (args.Has("no-default-excludes")) exclusions->KeepDefaultNames();
  for (const std::string& pattern : args.Values("exclude")) {
    if (!exclusions->Add(pattern, error)) return false;
  }
  return true;
}

void WarnExcluded(const char* command, const Exclusions& exclusions,
                  const std::vector<std::string>& excluded,
                  const std::vector<std::string>& exclusionFiles) {
  if (excluded.empty()) return;
  size_t folders = 0;
  for (const std::string& path : excluded) folders += path.back() == '/' ? 1 : 0;
  const size_t files = excluded.size() - folders;
  std::string what = files == 0 ? "" : Counted(files, "file", "files");
  if (folders != 0) what += (what.empty() ? "" : " and ") + Counted(folders, "folder", "folders");
  std::string why = exclusions.Describe();
  for (const std::string& file : exclusionFiles) why += (why.empty() ? "" : ", ") + file;
  std::string summary = "left out " + what + " that " + (excluded.size() == 1 ? "is" : "are") +
                        " no part of the game (" + why + ")";
  WarnLines(command, excluded.size() == 1 ? summary + ": " + excluded[0] : summary, excluded);
}

std::string WrittenNote(bool outputWritten, bool reportWritten, const std::string& report) {
  if (outputWritten) return std::string();
  if (reportWritten) return " (nothing written but the report " + report + ")";
  return " (nothing written)";
}
