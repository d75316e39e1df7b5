#include "publish/packages/apply_check.h"

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "publish/shared/game_files.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/output_file.h"
#include "fileio/toolkit/path_info.h"
#include "fileio/toolkit/system_error.h"

bool CheckInstallFolder(const std::string& folder, std::string* error, UpdateResult* wouldEnd) {
  PathInfo info;
  if (!GetPathInfo(folder, &info) || !info.folder) {
    *error = "the install folder " + folder + (info.exists ? " is not a folder" : " does not exist") +
             "; the updater creates none";
    *wouldEnd = UPD_E_WRITE;
    return false;
  }
  *wouldEnd = UPD_E_UNINSTALL_LIST;
  std::string list = folder + NativeSeparator() + kUninstallListName;
  DiskFile file;
  std::string why;
  if (!OpenInput(&file, list, "the uninstall list", &why)) {
    *error = why + "; the updater would write every file and then fail to add their names to it";
    return false;
  }
  file.Close();
  if (!IsReplaceable(list.c_str())) {
    *error = "the uninstall list " + list + " is read-only; the updater would write every " +
             "file and then fail to add their names to it";
    return false;
  }
  return true;
}

std::string DescribeUpdateFailure(const UpdateFailure& failure) {
  std::string path = ShownPath(failure.path);
  std::string what;
  if (failure.step == "judge") {
    return "the updater refuses " + path + " before writing anything: " + failure.detail;
  } else if (failure.step == "release") {
    return "the patch was made for another release of the game: " + ShownName(failure.detail) +
           " is not in the install as the patch's hash list says it must be already (the "
           "install's own list, " + path + ", says otherwise); nothing was written: install "
           "the patches in order, or use a cumulative patch";
  } else if (failure.step == "interrupted") {
    std::string why = SystemErrorText(failure.systemError);
    return "an update of another patch was interrupted in this install and left its files (" +
           path + (why.empty() ? "" : ", which cannot be read: " + why) + " names them): the " +
           "game is between two releases; nothing was written: run that patch again first";
  } else if (failure.step == "recover") {
    what = "cannot put back " + path + ", which an interrupted run of this patch left aside";
  } else if (failure.step == "file") {
    std::string why = SystemErrorText(failure.systemError);
    return "the patch was made for another release of the game: " + ShownName(failure.detail) +
           " is not in the install as the patch's hash list says it must be already (the " +
           "install has no hash list that loads, so its files were read: " + path +
           (why.empty() ? " is missing or differs" : " cannot be read: " + why) +
           "); nothing was written: install the patches in order, or use a cumulative patch";
  } else if (failure.step == "one file") {
    return path + " is reached by two files of the patch as this install reads their names " +
           "(letter case, or names an ANSI installer gave the game's files): one would replace " +
           "the other, or need it as a folder; nothing was written";
  } else if (failure.step == "place") {
    what = path + " is no place the update may write: a folder stands there, or it or a " +
           "folder on its way is a link, a junction or a short (8.3) name, or a folder on its " +
           "way is missing or lies outside the install folder; nothing was written";
  } else if (failure.step == "checksum") {
    what = "the data for " + path + " differs from its hash-list record";
  } else if (failure.step == "flush") {
    what = "cannot flush " + path + " to the disk";
  } else if (failure.step == "open" || failure.step == "read" || failure.step == "create" ||
             failure.step == "write" || failure.step == "replace" || failure.step == "update") {
    what = "cannot " + failure.step + " " + path;
  } else {
    what = failure.step + " failed on " + path;
  }
  std::string why = SystemErrorText(failure.systemError);
  return why.empty() ? what : what + ": " + why;
}

std::string DescribeUpdateWarning(const std::string& path, const std::string& step,
                                  int systemError) {
  std::string why = SystemErrorText(systemError);
  return ShownPath(path) + (step == "update" ? " is updated" : " is in place") +
         ", but the system could not put its folder on the disk" + (why.empty() ? "" : ": " + why) +
         "; after a power cut it may be the old file";
}
