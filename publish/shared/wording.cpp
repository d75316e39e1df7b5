#include "publish/shared/wording.h"

#include <cstdio>

std::string CountText(size_t count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

std::string SizeText(uint64_t size) {
  std::string bytes = std::to_string(size) + " bytes";
  if (size < (1u << 20)) return bytes;
  const bool gib = size >= (uint64_t{1} << 30);
  char text[32];
  std::snprintf(text, sizeof text, "%.2f %s", static_cast<double>(size) / (gib ? 1 << 30 : 1 << 20),
                gib ? "GiB" : "MiB");
  return std::string(text) + " (" + bytes + ")";
}

std::string ItemList(const std::vector<std::string>& items, size_t most) {
  std::string out;
  size_t shown = items.size() <= most ? items.size() : most;
  for (size_t i = 0; i < shown; ++i) out += (i == 0 ? "" : ", ") + items[i];
  if (shown < items.size()) out += " and " + std::to_string(items.size() - shown) + " more";
  return out;
}
