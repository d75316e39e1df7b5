// Words that the toolkit's messages share: counts, sizes, lists of names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A message's own line break, for a list of one item per line: a NUL, which
// no file name holds, so that a line feed in a Linux file name never passes
// for one. patchtool prints it as a line feed.
constexpr char kLineBreak = '\0';

// "1 file", "3 files".
std::string CountText(size_t count, const char* singular, const char* plural);

// "2.50 GiB (2684354560 bytes)"; below 1 MiB just "1000 bytes".
std::string SizeText(uint64_t size);

// The items joined by ", ": all of them, or the first `most` and then
// "and N more".
std::string ItemList(const std::vector<std::string>& items, size_t most = SIZE_MAX);
