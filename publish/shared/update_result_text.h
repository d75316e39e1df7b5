// Toolkit only: names and plain-English texts for update results and for
// what the package and hash-list readers found.
#pragma once

#include <cstddef>
#include <string>

#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "package/update_result.h"

// Every result an update can end with, success first.
extern const UpdateResult kUpdateResults[];
extern const size_t kUpdateResultCount;

// "UPD_E_CHECKSUM" and the like; "unknown result" for any other code.
const char* UpdateResultName(UpdateResult result);
const char* UpdateResultMeaning(UpdateResult result);
// One line: the name, the value as 0x and 8 hex digits, and the meaning.
std::string DescribeUpdateResult(UpdateResult result);

const char* PackStatusText(PackStatus status);
const char* HashListStatusText(HashListStatus status);
