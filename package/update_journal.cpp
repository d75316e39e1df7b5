#include "package/update_journal.h"

#include <cstring>

#include "package/le_bytes.h"

namespace {

constexpr uint32_t kHeaderSize = 20;

// Appends the NUL-terminated text at out[*at], within size bytes.
bool PutText(const char* text, uint8_t* out, uint32_t size, uint32_t* at) {
  size_t length = std::strlen(text) + 1;
  if (length > size - *at) return false;
  std::memcpy(out + *at, text, length);
  *at += static_cast<uint32_t>(length);
  return true;
}

// Takes a NUL-terminated text of at most a path buffer from data[*at].
bool TakeText(const uint8_t* data, uint32_t size, uint32_t* at, char* out) {
  const void* end = std::memchr(data + *at, 0, size - *at);
  if (end == nullptr) return false;
  size_t length = static_cast<size_t>(static_cast<const uint8_t*>(end) - (data + *at)) + 1;
  if (length > kPathBufferSize) return false;
  std::memcpy(out, data + *at, length);
  *at += static_cast<uint32_t>(length);
  return true;
}

}  // namespace

ContentSum PatchDigest(const HashList& list) {
  ContentSum sum;
  if (list.count() != 0) {
    UpdateContentSum(&sum, list.RecordName(0), list.count() * kHashRecordSize);
  }
  return sum;
}

void DigestText(const ContentSum& digest, char* out) {
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) out[i] = kHex[(digest.mix >> (28 - 4 * i)) & 0xF];
  out[8] = '\0';
}

uint32_t EncodeJournal(const Journal& journal, uint8_t* out, uint32_t size) {
  if (size < kHeaderSize || journal.count > kMaxPackEntries) return 0;
  std::memcpy(out, kJournalMagic, sizeof kJournalMagic);
  StoreContentSum(journal.digest, out + 8);
  StoreLe32(out + 16, journal.count);
  uint32_t at = kHeaderSize;
  for (uint32_t i = 0; i < journal.count; ++i) {
    const JournalEntry& entry = journal.entries[i];
    if (size - at < 6) return 0;
    out[at] = static_cast<uint8_t>(entry.index);
    out[at + 1] = entry.existed ? 1 : 0;
    StoreLe32(out + at + 2, entry.attributes);
    at += 6;
    if (!PutText(entry.target, out, size, &at) || !PutText(entry.staged, out, size, &at) ||
        !PutText(entry.kept, out, size, &at)) {
      return 0;
    }
  }
  return PutText(journal.listTemp, out, size, &at) ? at : 0;
}

bool DecodeJournal(const uint8_t* data, uint32_t size, Journal* journal) {
  if (size < kHeaderSize || std::memcmp(data, kJournalMagic, sizeof kJournalMagic) != 0) {
    return false;
  }
  journal->digest = LoadContentSum(data + 8);
  journal->count = LoadLe32(data + 16);
  if (journal->count > kMaxPackEntries) return false;
  uint32_t at = kHeaderSize;
  for (uint32_t i = 0; i < journal->count; ++i) {
    JournalEntry& entry = journal->entries[i];
    if (size - at < 6 || data[at] >= kMaxPackEntries || data[at + 1] > 1) return false;
    entry.index = data[at];
    entry.existed = data[at + 1] != 0;
    entry.attributes = LoadLe32(data + at + 2);
    at += 6;
    if (!TakeText(data, size, &at, entry.target) || !TakeText(data, size, &at, entry.staged) ||
        !TakeText(data, size, &at, entry.kept)) {
      return false;
    }
  }
  return TakeText(data, size, &at, journal->listTemp) && at == size;
}
