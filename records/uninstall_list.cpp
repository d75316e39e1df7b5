#include "records/uninstall_list.h"

#include <cstdint>
#include <cstring>

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/heap_block.h"

namespace {

static_assert(SIZE_MAX >= 0xFFFFFFFFu, "a block of any 32-bit size must be expressible");

// Whether text[0, length) holds name as a whole line. Lines end in LF or
// CR LF; the last line needs no end.
bool HasLine(const uint8_t* text, size_t length, const char* name, size_t nameLen) {
  size_t start = 0;
  while (start < length) {
    const uint8_t* lf =
        static_cast<const uint8_t*>(std::memchr(text + start, '\n', length - start));
    size_t end = lf != nullptr ? static_cast<size_t>(lf - text) : length;
    size_t lineEnd = end;
    if (lineEnd > start && text[lineEnd - 1] == '\r') --lineEnd;
    if (lineEnd - start == nameLen && std::memcmp(text + start, name, nameLen) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Reads the whole list, through *file, into a block with room for `extra`
// (at least 1) more bytes. The block's first `*size` bytes are the file.
// Another program that has the list open for a moment (a virus scanner) is
// waited for, as when the list is replaced. The list stays held in *file
// until its new text takes its place: nobody writes or deletes it
// meanwhile.
bool ReadList(const char* path, uint64_t extra, HeapBlock* block, uint32_t* size,
              DiskFile& file) {
  // The list itself, read through the handle that was checked: a link
  // planted at its name would copy any file into the game's list.
  if (!OpenReadWhileBusy(&file, path, ReadSharing::kHeld) || !file.IsItselfAt(path)) return false;
  uint32_t fileSize = file.GetSize();
  if (fileSize == kSizeUnknown) return false;
  // Asking for one byte more shows a file larger than its reported size
  // (sizes wrap at 4 GiB) or a short read: either would lose list bytes.
  uint64_t capacity = uint64_t{fileSize} + extra;
  if (capacity > 0xFFFFFFFFu) return false;
  if (!block->Allocate(static_cast<size_t>(capacity))) return false;
  if (file.Read(block->data(), fileSize + 1) != fileSize) return false;
  *size = fileSize;
  return true;
}

// Writes the new list to a temporary file beside the old one, puts it on
// the disk, and only then puts it, through its handle, in the place of the
// old one, which list holds; otherwise the old list stays exactly as it
// was. The temporary's name is none of names.
int WriteList(const char* listPath, DiskFile& list, const char* const* names,
              const uint8_t* data, uint32_t size, int* syncError, const char* plannedPath) {
  FileId id;
  if (!IsReplaceable(listPath) || !GetOpenFileId(&list, &id)) return 0;
  char tempPath[kPathBufferSize];
  int error = 0;
  DiskFile file;
  if (plannedPath != nullptr) {
    size_t length = std::strlen(plannedPath);
    if (length >= sizeof tempPath || !file.OpenNew(plannedPath)) return 0;
    std::memcpy(tempPath, plannedPath, length + 1);
  } else if (!CreateTempBeside(&file, listPath, names, kTempName, tempPath, sizeof tempPath,
                               &error)) {
    return 0;
  }
  // The new list takes the old one's attributes (hidden, say) as it comes.
  if (file.Write(data, size) == size && file.Flush() &&
      ReplaceHeldFile(&file, tempPath, &list, listPath, id, NewAttributes::kSameAsOld,
                      syncError)) {
    return 1;
  }
  file.Close();
  RemoveFile(tempPath);
  return 0;
}

}  // namespace

// The new file: the list text (the bytes before the first NUL), a line feed
// if the text lacks a final one and a name is added, the added names each
// with a line feed, one NUL, and then whatever followed the old first NUL,
// unchanged. A file without any NUL is all text and gets its NUL.
int AppendUninstallList(const char* installFolder, const char* const* names, int* syncError,
                        const char* tempPath) {
  if (syncError != nullptr) *syncError = 0;
  if (installFolder == nullptr || names == nullptr) return 0;
  // The folder is taken as it is: one that already ends in a backslash
  // gives two in a row.
  char listPath[kPathBufferSize];
  if (!JoinPath(listPath, sizeof listPath, installFolder, kUninstallListName)) return 0;

  // Room beyond the file's bytes: a separating line feed, every name with
  // its line feed, and a NUL for a file that has none.
  uint64_t extra = 2;
  for (const char* const* name = names; *name != nullptr; ++name) {
    extra += uint64_t{std::strlen(*name)} + 1;
    if (extra > 0xFFFFFFFFu) return 0;
  }

  HeapBlock block;
  uint32_t fileSize = 0;
  DiskFile list;
  if (!ReadList(listPath, extra, &block, &fileSize, list)) return 0;
  uint8_t* buffer = block.data();
  const size_t capacity = block.size();

  const void* firstNul = std::memchr(buffer, 0, fileSize);
  size_t textLen = firstNul != nullptr
                       ? static_cast<size_t>(static_cast<const uint8_t*>(firstNul) - buffer)
                       : fileSize;
  size_t tailLen = firstNul != nullptr ? fileSize - textLen - 1 : 0;

  // Park what follows the first NUL at the block's end while the names go
  // in after the text. The text, the names and the NUL never reach it:
  // together with the tail they take at most fileSize + extra bytes.
  size_t tailAt = capacity - tailLen;
  std::memmove(buffer + tailAt, buffer + textLen + 1, tailLen);

  size_t length = textLen;
  bool added = false;
  for (const char* const* name = names; *name != nullptr; ++name) {
    size_t nameLen = std::strlen(*name);
    // Names added in this call are lines of the text by now, so a name
    // given twice goes in once.
    if (nameLen == 0 || HasLine(buffer, length, *name, nameLen)) continue;
    if (!added && length > 0 && buffer[length - 1] != '\n') buffer[length++] = '\n';
    added = true;
    std::memcpy(buffer + length, *name, nameLen);
    length += nameLen;
    buffer[length++] = '\n';
  }
  buffer[length++] = '\0';
  std::memmove(buffer + length, buffer + tailAt, tailLen);
  length += tailLen;

  // Rewritten also when nothing was added: it then gets its own bytes back.
  return WriteList(listPath, list, names, buffer, static_cast<uint32_t>(length), syncError,
                   tempPath);
}
