// Result codes of an update. Every failure has the high bit set.
#pragma once

#include <cstdint>

using UpdateResult = uint32_t;

constexpr UpdateResult UPD_OK = 0;
// The package cannot be read: too short, unreadable, a short header,
// directory or entry, an entry that cannot be positioned on, or a directory
// that is unsafe to use.
constexpr UpdateResult UPD_E_PACKAGE = 0x80000001u;
// The header lists more than 16 entries.
constexpr UpdateResult UPD_E_TOO_MANY = 0x80000002u;
// A listed entry's content checksum differs from its hash-list record.
constexpr UpdateResult UPD_E_CHECKSUM = 0x80000003u;
// A target file in the install folder cannot be created or written in full.
constexpr UpdateResult UPD_E_WRITE = 0x80000004u;
// Every entry was written but the uninstall list could not be updated.
constexpr UpdateResult UPD_E_UNINSTALL_LIST = 0x80000005u;
// The patch was made for another release than the one installed: a file
// that the patch does not carry differs from what its hash list says the
// patched game holds. Nothing is written.
constexpr UpdateResult UPD_E_WRONG_RELEASE = 0x80000006u;
