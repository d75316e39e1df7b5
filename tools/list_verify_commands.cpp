// patchtool list and verify: what a patch holds, and the release check.
#include <cstdio>

#include "publish/releases/hash_list_writer.h"
#include "publish/packages/package_check.h"
#include "publish/packages/part_set.h"
#include "publish/packages/patch_manifest.h"
#include "publish/signing/patch_signing.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/update_result_text.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

// list and verify say the same about signatures.
const char kSignatureHelp[] =
    "The signature line is \"signature: \" and one of:\n"
    "  none                       no Authenticode signature\n"
    "  none (not a PE program)    the file is no Windows program at all\n"
    "  present, verifies          osslsigncode verify accepts it\n"
    "  present, does not verify (WHY)\n"
    "                             the file was changed after signing, the\n"
    "                             certificate is not trusted (or has expired),\n"
    "                             or the certificate table cannot be read\n"
    "  present, not checked (osslsigncode not found)\n"
    "                             osslsigncode is not on PATH\n"
    "\n"
    "  --ca FILE  the CA certificates (PEM) that the signer's chain must end in\n"
    "             (osslsigncode -CAfile). Without it osslsigncode uses its default\n"
    "             CA file, the system's trusted CAs: a certificate of your own CA,\n"
    "             or a self-signed one, then does not verify.\n";

std::string HashListLine(const PackageReport& report) {
  if (report.hashListIndex < 0) {
    return std::string("hash list: none; ") + HashListStatusText(report.hashListStatus);
  }
  std::string entry = ShownName(report.entries[report.hashListIndex].name);
  std::string where = entry + " (entry " + std::to_string(report.hashListIndex) + ")";
  if (report.hashListStatus == kHashListLoaded) {
    return "hash list: " + where + ", " + std::to_string(report.recordCount) + " records";
  }
  if (report.hashListStatus == kHashListEmpty) {
    return "hash list: " + where + "; " + HashListStatusText(report.hashListStatus);
  }
  return "hash list: " + where + " cannot be loaded: " +
         HashListStatusText(report.hashListStatus) + "; no entry is verified";
}

// Reports a package that cannot be opened or used; true when it can.
bool ReportUnusable(const char* name, const std::string& path, const PackageReport& report) {
  if (!report.opened) {
    Error(name, report.openError);
    return false;
  }
  // A directory whose records were read is shown, also where the updater
  // refuses some of them.
  if (!report.directoryRead) {
    Error(name, path + ": " + PackStatusText(report.packStatus) + " (the update ends with " +
                    UpdateResultName(PackStatusResult(report.packStatus)) + ")");
    return false;
  }
  return true;
}

// How many entries the updater refuses.
size_t RefusedCount(const PackageReport& report) {
  size_t refused = 0;
  for (const EntryReport& entry : report.entries) refused += entry.fault != kPackOk ? 1 : 0;
  return refused;
}

// The checks that list and verify share: the package, then its signature.
// False (after one error line) when either could not be made.
bool CheckPatch(const char* name, const std::string& path, const Arguments& args,
                PackageReport* report, SignatureReport* signature) {
  TerminalProgress progress;
  ProgressSink sink = ProgressOf(&progress);
  progress.Stage("reading " + path);
  CheckPackage(path, report, &sink);
  progress.Clear();
  if (!ReportUnusable(name, path, *report)) return false;
  std::string error;
  if (!CheckSignature(path, args.Value("ca"), signature, &error)) {
    Error(name, error);
    return false;
  }
  return true;
}

// What the program before the package is.
std::string StubLine(const PackageReport& report) {
  if (!report.stubProblem.empty()) return "stub: not an updater: it " + report.stubProblem;
  return std::string("stub: ") +
         (report.stub.twin ? "the x86-64 test twin of the updater (PE32+ GUI), never shipped"
                           : "an updater (PE32 i386 GUI)") +
         ", image of " + std::to_string(report.stub.imageEnd) + " bytes";
}

std::string ListHelp() {
  return std::string(
             "Usage: patchtool list [--ca FILE] [--report FILE] PATCH\n"
             "\n"
             "Prints the entry count and data base, the hash list, the signature, the\n"
             "program before the package (the stub), and then the package's entries in directory order: index, offset from the\n"
             "data base, size, the check against the hash list, and the stored name.\n"
             "The check is one of:\n"
             "  matches     the first hash-list record of the name has the same checksum\n"
             "  differs     it has another checksum: the update would stop there\n"
             "  not listed  no record names the entry (the hash list itself, or an entry\n"
             "              for which the updater refuses the whole patch)\n"
             "  unreadable  the entry's data cannot be reached or read in full\n"
             "An entry that the updater refuses, and with it the whole package before\n"
             "anything is written, is followed by a line \"refused: WHY\": a name that\n"
             "breaks the rule for stored names (see patchtool verify --help), data that\n"
             "runs past the end of the file (a patch cut short), or lies beyond 2 GiB.\n"
             "\n"
             "  --report FILE  write the patch's manifest to FILE, as make --report\n"
             "                 writes it, tab-separated, from the patch alone (and,\n"
             "                 for a part of a split, every part beside it): each\n"
             "                 part, each file it carries with its size and sum, each\n"
             "                 part's list with its sum, the list it ends at, the\n"
             "                 installs it serves (those whose qen.hvl holds every\n"
             "                 record of part 1's list that part 1 does not carry),\n"
             "                 and each file of the last list that no part carries\n"
             "\n") +
         kSignatureHelp +
         "\n"
         "Exit status: 0 when the package is usable, 1 when it cannot be opened or\n"
         "used (the reason goes to stderr), an entry is refused or unreadable, the\n"
         "report cannot be written, or the CA FILE cannot be read, 2 on wrong\n"
         "usage. The signature does not\n"
         "change it.\n";
}

// Lists the patch; *verdict says why the updater refuses it ("" when it
// does not).
int ListPatch(const char* name, const Arguments& args, const std::string& path,
              std::string* verdict) {
  PackageReport report;
  SignatureReport signature;
  if (!CheckPatch(name, path, args, &report, &signature)) {
    *verdict = "the patch cannot be read as one";
    return kExitFailed;
  }

  std::printf("%s: %s, data base %u\n", path.c_str(),
              Counted(report.entries.size(), "entry", "entries").c_str(), report.dataBase);
  std::printf("%s\n", HashListLine(report).c_str());
  std::printf("signature: %s\n", SignatureText(signature).c_str());
  std::printf("%s\n", StubLine(report).c_str());
  std::printf("%5s  %10s  %10s  %-10s  %s\n", "index", "offset", "size", "check", "name");
  int status = kExitOk;
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const EntryReport& entry = report.entries[i];
    std::printf("%5u  %10u  %10u  %-10s  %s\n", static_cast<unsigned>(i), entry.offset,
                entry.size, EntryCheckText(entry.check), ShownName(entry.name).c_str());
    if (entry.fault != kPackOk) {
      std::printf("%5s  refused: %s\n", "", EntryFaultText(report, entry).c_str());
    }
    if (entry.check == kEntryUnreadable) status = kExitFailed;
  }
  size_t refused = RefusedCount(report);
  if (refused != 0) {
    *verdict = "the updater refuses this package before writing anything: " +
               Counted(refused, "entry is", "entries are") + " refused (the update ends with " +
               "UPD_E_PACKAGE)";
    Error(name, path + ": the updater refuses this package before writing anything: " +
                    Counted(refused, "entry is", "entries are") + " refused (shown above; " +
                    "the update ends with UPD_E_PACKAGE)");
    return kExitFailed;
  }
  std::string judged = JudgementText(report);
  if (!judged.empty()) {
    *verdict = "the updater refuses this package before writing anything: " + judged +
               " (UPD_E_PACKAGE)";
    Error(name, path + ": " + *verdict);
    return kExitFailed;
  }
  if (status != kExitOk) {
    *verdict = "an entry cannot be read in full (the update ends with UPD_E_PACKAGE)";
    Error(name, path + ": " + *verdict);
  }
  return status;
}

int RunList(const char* name, const Arguments& args) {
  if (args.operands.size() != 1) return UsageError(name, "give exactly one PATCH");
  const std::string& path = args.operands[0];
  const std::string report = args.Value("report");
  std::string error;
  // The report must not take the place of the patch or of a part beside it.
  if (!report.empty()) {
    std::vector<std::string> inputs = {path};
    PartName part;
    if (ParsePartName(path, &part)) {
      for (size_t k = 1; k <= part.count; ++k) inputs.push_back(PartPath(part, k));
    }
    if (!CheckReportPath(report, inputs, {}, {}, &error)) {
      Error(name, error + " (nothing written)");
      return kExitFailed;
    }
  }
  std::string verdict;
  int status = ListPatch(name, args, path, &verdict);
  if (report.empty()) return status;
  Manifest manifest;
  std::string why;
  bool described = PatchManifest(path, &manifest, &why);
  std::string result = !verdict.empty() ? "refused: " + verdict
                       : described      ? std::string("done")
                                        : "refused: " + why;
  if (!WriteFaultReport(report, "list " + path, result, {}, &error,
                        described ? &manifest : nullptr)) {
    Error(name, "the report is not written: " + error);
    return kExitFailed;
  }
  if (!described) {
    Error(name, "the report " + report + " holds no manifest: " + why);
    return kExitFailed;
  }
  return status;
}

std::string VerifyHelp() {
  return std::string(
             "Usage: patchtool verify [--ca FILE] PATCH\n"
             "\n"
             "Reads every entry of PATCH, as the update would, without writing anything,\n"
             "and prints the hash list, the signature and the stub, one line per entry:\n"
             "matches, differs (with both checksums), not listed or unreadable, then a\n"
             "closing line when the patch passes. On a terminal, the progress is shown\n"
             "on stderr.\n"
             "\n") +
         kSignatureHelp +
         "\n"
         "  --test-twin-stub  pass a patch whose stub is the x86-64 test twin of the\n"
         "                    updater (for the tests of the win64 build; never ship\n"
         "                    such a patch)\n" +
         "\n"
         "Exit status: 0 when the patch passes; 1 when it cannot be opened or used,\n"
         "the updater refuses an entry (and with it the whole patch: a name that\n"
         "breaks the rule below, data past the end of the file or beyond 2 GiB),\n"
         "the updater refuses the patch as a whole (it carries no hash list, or two,\n"
         "or one that does not load; an entry that no record names; the game's\n"
         "uninst.lst as an entry; two entries that are one file on Windows, letter\n"
         "case aside for every letter; a file where another entry needs a folder),\n"
         "the program before the package is not the 32-bit updater (a PE32 i386 GUI\n"
         "program that ends below 65536 and imports only system DLLs), an entry is\n"
         "unreadable, a listed entry differs, a signature is present and does not\n"
         "verify, a part of a split does not pass with its set (below), or the CA\n"
         "FILE cannot be read; 2 on wrong usage. A patch of no entries passes; so\n"
         "does an unsigned patch, and a signed one whose signature was not checked.\n"
         "\n"
         "A part of a split (NAME-2of3.EXT, as make --split names them) passes only\n"
         "with its set: every part NAME-1of3.EXT to NAME-3of3.EXT lies beside it,\n"
         "and each part's hash list follows from the list of the part before (the\n"
         "records of the part's own files set: a new sum, a new record, or the\n"
         "record under the entry's spelling; every other record the same and in\n"
         "the same order; a record for each of its files). Parts of\n"
         "two different makes side by side are named; verify checks each part's\n"
         "entries only when given that part.\n"
         "\n"
         "Stored names (code page 932) must name one file on every Windows: each\n"
         "character converts to code page 932 and back unchanged, the byte 0x5C\n"
         "is the folder separator (unless it is the second byte of a character,\n"
         "as in \"\xE3\x82\xBD\" (0x83 0x5C)), and no part between separators is\n"
         "empty, ends in a dot or a space, is a device name (CON, PRN, AUX, NUL,\n"
         "COM1 to COM9, LPT1 to LPT9, with any extension) or holds a control\n"
         "character or one of < > : \" | ? * /.\n";
}

// The set of a part of a split: a line when it holds, errors where not.
bool ReportPartSet(const char* name, const std::string& path) {
  PartSetReport set;
  CheckPartSet(path, &set);
  if (!set.isPart) return true;
  for (const std::string& fault : set.faults) Error(name, path + ": fails: " + fault);
  if (!set.faults.empty()) return false;
  std::printf("set: part %s of %s (%s to %s); each part's list follows from the one before\n",
              std::to_string(set.name.part).c_str(), std::to_string(set.name.count).c_str(),
              PartPath(set.name, 1).c_str(), PartPath(set.name, set.name.count).c_str());
  return true;
}

int RunVerify(const char* name, const Arguments& args) {
  if (args.operands.size() != 1) return UsageError(name, "give exactly one PATCH");
  const std::string& path = args.operands[0];
  PackageReport report;
  SignatureReport signature;
  if (!CheckPatch(name, path, args, &report, &signature)) return kExitFailed;

  std::printf("%s\n", HashListLine(report).c_str());
  std::printf("signature: %s\n", SignatureText(signature).c_str());
  std::printf("%s\n", StubLine(report).c_str());
  unsigned verified = 0;
  for (const EntryReport& entry : report.entries) {
    std::printf("%-10s  %s", EntryCheckText(entry.check), ShownName(entry.name).c_str());
    if (entry.check == kEntryDiffers) {
      std::printf("  (listed %s, data %s)", ContentSumHex(entry.listed).c_str(),
                  ContentSumHex(entry.computed).c_str());
    }
    if (entry.fault != kPackOk) {
      std::printf("  (refused: %s)", EntryFaultText(report, entry).c_str());
    }
    std::printf("\n");
    if (entry.check == kEntryMatches) ++verified;
  }

  bool acceptTwin = args.Has("test-twin-stub");
  switch (JudgePackage(report, acceptTwin)) {
    case kPackagePasses:
      // The publisher's release check: a signature that is there must hold.
      if (signature.state == kSignatureFails) {
        Error(name, path + ": fails: the signature does not verify (" + signature.reason + ")");
        return kExitFailed;
      }
      if (!ReportPartSet(name, path)) return kExitFailed;
      std::printf("%s: passes; %u of %s verified\n", path.c_str(), verified,
                  Counted(report.entries.size(), "entry", "entries").c_str());
      if (report.stub.twin) WarnTwinStub(name, path);
      return kExitOk;
    case kPackageRefusedEntry: {
      size_t refused = RefusedCount(report);
      Error(name, path + ": fails: " + RefusedEntryText(report) + "; the updater refuses the " +
                      "whole patch for it before writing anything (UPD_E_PACKAGE" +
                      (refused > 1 ? "; " + std::to_string(refused) + " entries refused in all"
                                   : std::string()) +
                      ")");
      break;
    }
    case kPackageBadStub:
      Error(name, path + ": fails: the program before the package " +
                      StubProblem(report, acceptTwin) + " (pack the updater, "
                      "build/win32/updater.exe)");
      break;
    case kPackageUnreadable:
      Error(name, path + ": fails: an entry cannot be read in full (the update ends with "
                         "UPD_E_PACKAGE)");
      break;
    case kPackageDiffers:
      Error(name, path + ": fails: an entry differs from its hash-list record (the update "
                         "ends with UPD_E_CHECKSUM)");
      break;
    case kPackageRefused:
      Error(name, path + ": fails: " + JudgementText(report) + "; the updater refuses the " +
                      "whole patch for it before writing anything (UPD_E_PACKAGE)");
      break;
    case kPackageUnopened:
    case kPackageUnusable:
      break;  // reported above
  }
  return kExitFailed;
}

}  // namespace

const Command& ListCommand() {
  static const Command command = {
      "list", "show a patch's entries and whether each matches the hash list", ListHelp,
      {{"ca", 0, true}, {"report", 0, true}}, RunList};
  return command;
}

const Command& VerifyCommand() {
  static const Command command = {"verify",
                                  "check every entry of a patch against its hash list",
                                  VerifyHelp, {{"ca", 0, true}, {"test-twin-stub", 0, false}},
                                  RunVerify};
  return command;
}
