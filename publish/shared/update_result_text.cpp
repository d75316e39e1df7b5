#include "publish/shared/update_result_text.h"

#include <cstdio>

namespace {

struct ResultText {
  UpdateResult result;
  const char* name;
  const char* meaning;
};

const ResultText kResultTexts[] = {
    {UPD_OK, "UPD_OK", "Every entry was written and the uninstall list was updated."},
    {UPD_E_PACKAGE, "UPD_E_PACKAGE",
     "The package cannot be read: it is too short or unreadable, its header or directory "
     "is short or unsafe, or an entry cannot be positioned on or read in full."},
    {UPD_E_TOO_MANY, "UPD_E_TOO_MANY", "The package header lists more than 16 entries."},
    {UPD_E_CHECKSUM, "UPD_E_CHECKSUM",
     "A listed entry's content checksum differs from its hash-list record."},
    {UPD_E_WRITE, "UPD_E_WRITE",
     "A target file in the install folder cannot be created or written in full."},
    {UPD_E_UNINSTALL_LIST, "UPD_E_UNINSTALL_LIST",
     "Every entry was written, but the uninstall list could not be updated."},
    {UPD_E_WRONG_RELEASE, "UPD_E_WRONG_RELEASE",
     "The patch was made for another release of the game than the one installed; nothing "
     "was written."},
};

const ResultText* FindResult(UpdateResult result) {
  for (const ResultText& text : kResultTexts) {
    if (text.result == result) return &text;
  }
  return nullptr;
}

}  // namespace

const UpdateResult kUpdateResults[] = {UPD_OK,      UPD_E_PACKAGE,        UPD_E_TOO_MANY,
                                       UPD_E_CHECKSUM, UPD_E_WRITE, UPD_E_UNINSTALL_LIST,
                                       UPD_E_WRONG_RELEASE};
const size_t kUpdateResultCount = sizeof kUpdateResults / sizeof kUpdateResults[0];

const char* UpdateResultName(UpdateResult result) {
  const ResultText* text = FindResult(result);
  return text != nullptr ? text->name : "unknown result";
}

const char* UpdateResultMeaning(UpdateResult result) {
  const ResultText* text = FindResult(result);
  return text != nullptr ? text->meaning : "The code is not one that an update returns.";
}

std::string DescribeUpdateResult(UpdateResult result) {
  char value[16];
  std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(result));
  return std::string(UpdateResultName(result)) + " " + value + " " + UpdateResultMeaning(result);
}

const char* PackStatusText(PackStatus status) {
  switch (status) {
    case kPackOk:
      return "the package directory is usable";
    case kPackTooSmall:
      return "the file is shorter than 65536 bytes, so it carries no package";
    case kPackShortHeader:
      return "the package header is cut short";
    case kPackTooMany:
      return "the package header lists more than 16 entries";
    case kPackShortDirectory:
      return "the package directory is cut short";
    case kPackUnterminatedName:
      return "an entry name fills its 16 bytes without a terminating NUL";
    case kPackBadName:
      return "an entry name breaks the name rule: it is not code page 932 text that Windows "
             "writes back the same, or Windows strips it, opens a device for it or cannot "
             "create it";
    case kPackBadPosition:
      return "an entry starts at or beyond 2 GiB, out of the reader's reach";
    case kPackDataPastEnd:
      return "an entry's data runs past the end of the file (a download cut short?)";
  }
  return "unknown package status";
}

const char* HashListStatusText(HashListStatus status) {
  switch (status) {
    case kHashListLoaded:
      return "the hash list is loaded";
    case kHashListNoEntry:
      return "no entry is named qen.hvl, so nothing is verified";
    case kHashListSeekFailed:
      return "the hash-list entry cannot be positioned on";
    case kHashListShortHeader:
      return "the hash-list header is cut short";
    case kHashListBadMagic:
      return "the hash list does not start with JXW_____";
    case kHashListEmpty:
      return "the hash list holds no records, so nothing is verified";
    case kHashListTooLarge:
      return "the hash list's record count is too large to be read";
    case kHashListShortTable:
      return "the hash list's record table is cut short";
    case kHashListUnterminatedName:
      return "a hash-list record name fills its 56 bytes without a terminating NUL";
    case kHashListNoMemory:
      return "there is not enough memory for the hash list's records";
    case kHashListPastEnd:
      return "the hash list's records run past the end of its entry";
  }
  return "unknown hash-list status";
}
