#include "publish/packages/patch_limits.h"

#include "publish/shared/wording.h"

std::string FileSizeProblem(uint64_t size) {
  if (size > 0xFFFFFFFFu) {
    return "is " + SizeText(size) + ": a package stores each file's size in 32 bits, so no " +
           "fix patch can carry a file of 4 GiB or more (the format's limit); ship it with " +
           "a full installer instead";
  }
  if (size > kMaxPatchFileSize) {
    return "is " + SizeText(size) + ": the updater reads a package only below 2 GiB (byte " +
           std::to_string(kPackPositionLimit) + ", the format's limit), and the hash list " +
           "must start after the file, so no fix patch can carry a file over " +
           std::to_string(kMaxPatchFileSize) + " bytes; ship it with a full installer instead";
  }
  return std::string();
}
