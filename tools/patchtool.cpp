// patchtool: the publisher's toolkit for Velmora fix patches. This file
// only parses arguments and prints; the work is done in package/.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "package/apply_update.h"
#include "package/hash_list_writer.h"
#include "package/pack_writer.h"
#include "package/package_check.h"
#include "package/patch_signing.h"
#include "package/update_result_text.h"

namespace {

// Exit statuses shared by every command; apply adds its own for failures.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// apply: this plus the low byte of the update's result code.
constexpr int kExitApplyBase = 10;

// ---------------------------------------------------------------------------
// Arguments

struct OptionRule {
  const char* longName;  // without the leading "--"
  char shortName;        // 0 when there is none
  bool takesValue;
};

struct Arguments {
  std::map<std::string, std::string> values;  // options with a value
  std::map<std::string, bool> flags;          // options without one
  std::vector<std::string> operands;
  bool help = false;

  bool Has(const char* name) const { return values.count(name) != 0 || flags.count(name) != 0; }
  std::string Value(const char* name) const {
    auto found = values.find(name);
    return found == values.end() ? std::string() : found->second;
  }
};

const OptionRule* FindLong(const std::vector<OptionRule>& rules, const std::string& name) {
  for (const OptionRule& rule : rules) {
    if (name == rule.longName) return &rule;
  }
  return nullptr;
}

const OptionRule* FindShort(const std::vector<OptionRule>& rules, char name) {
  for (const OptionRule& rule : rules) {
    if (rule.shortName != 0 && rule.shortName == name) return &rule;
  }
  return nullptr;
}

// Options may stand anywhere among the operands; "--" ends them.
bool ParseArguments(int argc, char** argv, const std::vector<OptionRule>& rules, Arguments* out,
                    std::string* error) {
  bool optionsEnded = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      out->operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      out->help = true;
      continue;
    }
    const OptionRule* rule = nullptr;
    std::string value;
    bool hasValue = false;
    if (arg[1] == '-') {
      std::string name = arg.substr(2);
      size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
        hasValue = true;
      }
      rule = FindLong(rules, name);
    } else {
      rule = FindShort(rules, arg[1]);
      if (arg.size() > 2) {
        value = arg.substr(2);
        hasValue = true;
      }
    }
    if (rule == nullptr) {
      *error = "unknown option " + arg;
      return false;
    }
    std::string shown = std::string("--") + rule->longName;
    if (out->Has(rule->longName)) {
      *error = shown + " is given twice";
      return false;
    }
    if (!rule->takesValue) {
      if (hasValue) {
        *error = shown + " takes no value";
        return false;
      }
      out->flags[rule->longName] = true;
      continue;
    }
    if (!hasValue) {
      if (i + 1 >= argc) {
        *error = shown + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (value.empty()) {
      *error = shown + " needs a non-empty value";
      return false;
    }
    out->values[rule->longName] = value;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Output

// One line on stderr: "patchtool <command>: <message>".
void Error(const char* command, const std::string& message) {
  std::fprintf(stderr, "patchtool %s: %s\n", command, message.c_str());
}

// Installer detection elevates a program without a manifest by its name
// alone; unelevated, the updater's writes into a protected install folder
// land in the player's VirtualStore, out of the game's sight.
void WarnUnlessElevated(const char* command, const std::string& output) {
  if (NameAsksForElevation(output)) return;
  std::fprintf(stderr,
               "patchtool %s: warning: the name of %s holds none of the words setup, install, "
               "update or patch; Windows elevates the updater only by such a name, and "
               "unelevated its writes into a protected install folder go to the player's "
               "VirtualStore, where the game never sees them (see README)\n",
               command, output.c_str());
}

int UsageError(const char* command, const std::string& message) {
  std::fprintf(stderr, "patchtool %s: %s (see patchtool %s --help)\n", command, message.c_str(),
               command);
  return kExitUsage;
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

// ---------------------------------------------------------------------------
// Commands

struct Command {
  const char* name;
  const char* summary;
  const char* help;
  std::vector<OptionRule> options;
  int (*run)(const char* name, const Arguments& args);
};

int RunSum(const char* name, const Arguments& args) {
  if (args.operands.empty()) return UsageError(name, "no FILE given");
  int status = kExitOk;
  for (const std::string& path : args.operands) {
    ContentSum sum;
    std::string error;
    if (!ComputeFileSum(path, &sum, &error)) {
      Error(name, error);
      status = kExitFailed;
      continue;
    }
    std::printf("%s  %s\n", ContentSumHex(sum).c_str(), path.c_str());
  }
  return status;
}

int RunHashList(const char* name, const Arguments& args) {
  if (!args.Has("output")) return UsageError(name, "no output given: -o OUT");
  if (args.operands.empty()) return UsageError(name, "no FILE given");
  HashListJob job;
  job.output = args.Value("output");
  job.base = args.Value("base");
  job.files = args.operands;
  std::vector<HashListOutcome> outcome;
  std::string error;
  if (!WriteHashListFile(job, &outcome, &error)) {
    Error(name, error + " (nothing written)");
    return kExitFailed;
  }
  for (const HashListOutcome& item : outcome) {
    if (item.change.appended) {
      std::printf("%s  %s  added\n", ContentSumHex(item.sum).c_str(), item.name.c_str());
    } else {
      std::printf("%s  %s  replaced (%u record%s)\n", ContentSumHex(item.sum).c_str(),
                  item.name.c_str(), item.change.replaced, item.change.replaced == 1 ? "" : "s");
    }
  }
  return kExitOk;
}

int RunPack(const char* name, const Arguments& args) {
  if (!args.Has("stub")) return UsageError(name, "no stub given: --stub STUB");
  if (!args.Has("output")) return UsageError(name, "no output given: -o OUT");
  if (args.operands.empty()) return UsageError(name, "no FILE given");
  PackJob job;
  job.stub = args.Value("stub");
  job.output = args.Value("output");
  job.files = args.operands;
  job.buildHashList = args.Has("hash-list");
  std::vector<PackedEntry> entries;
  std::string error;
  if (!WritePackage(job, &entries, &error)) {
    Error(name, error + " (nothing written)");
    return kExitFailed;
  }
  std::printf("%s: %u entries\n", job.output.c_str(), static_cast<unsigned>(entries.size()));
  WarnUnlessElevated(name, job.output);
  return kExitOk;
}

int RunSign(const char* name, const Arguments& args) {
  if (args.operands.size() != 1) return UsageError(name, "give exactly one PATCH");
  if (!args.Has("cert")) return UsageError(name, "no certificate given: --cert CERT");
  if (!args.Has("key")) return UsageError(name, "no key given: --key KEY");
  SignJob job;
  job.patch = args.operands[0];
  job.output = args.Value("output");
  job.cert = args.Value("cert");
  job.key = args.Value("key");
  job.passFile = args.Value("pass-file");
  job.timestamp = args.Value("timestamp");
  SignOutcome outcome;
  std::string error;
  if (!SignPatch(job, &outcome, &error)) {
    Error(name, error + " (nothing written; " + job.patch + " left as it was)");
    return kExitFailed;
  }
  std::printf("%s: signed; %u entries read back unchanged; certificate table of %u bytes at "
              "offset %u\n",
              outcome.output.c_str(), outcome.entries, outcome.signature.tableSize,
              outcome.signature.tableOffset);
  WarnUnlessElevated(name, outcome.output);
  return kExitOk;
}

std::string HashListLine(const PackageReport& report) {
  if (report.hashListIndex < 0) {
    return std::string("hash list: none; ") + HashListStatusText(report.hashListStatus);
  }
  const std::string& entry = report.entries[report.hashListIndex].name;
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
    Error(name, "cannot open " + path);
    return false;
  }
  if (report.packStatus != kPackOk) {
    Error(name, path + ": " + PackStatusText(report.packStatus) + " (the update ends with " +
                    UpdateResultName(PackStatusResult(report.packStatus)) + ")");
    return false;
  }
  return true;
}

// The checks that list and verify share: the package, then its signature.
// False (after one error line) when either could not be made.
bool CheckPatch(const char* name, const std::string& path, const Arguments& args,
                PackageReport* report, SignatureReport* signature) {
  CheckPackage(path, report);
  if (!ReportUnusable(name, path, *report)) return false;
  std::string error;
  if (!CheckSignature(path, args.Value("ca"), signature, &error)) {
    Error(name, error);
    return false;
  }
  return true;
}

int RunList(const char* name, const Arguments& args) {
  if (args.operands.size() != 1) return UsageError(name, "give exactly one PATCH");
  const std::string& path = args.operands[0];
  PackageReport report;
  SignatureReport signature;
  if (!CheckPatch(name, path, args, &report, &signature)) return kExitFailed;

  std::printf("%s: %u entries, data base %u\n", path.c_str(),
              static_cast<unsigned>(report.entries.size()), report.dataBase);
  std::printf("%s\n", HashListLine(report).c_str());
  std::printf("signature: %s\n", SignatureText(signature).c_str());
  std::printf("%5s  %10s  %10s  %-10s  %s\n", "index", "offset", "size", "check", "name");
  int status = kExitOk;
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const EntryReport& entry = report.entries[i];
    std::printf("%5u  %10u  %10u  %-10s  %s\n", static_cast<unsigned>(i), entry.offset,
                entry.size, EntryCheckText(entry.check), entry.name.c_str());
    if (entry.check == kEntryUnreadable) status = kExitFailed;
  }
  if (status != kExitOk) {
    Error(name, path + ": an entry cannot be read in full (the update ends with UPD_E_PACKAGE)");
  }
  return status;
}

int RunVerify(const char* name, const Arguments& args) {
  if (args.operands.size() != 1) return UsageError(name, "give exactly one PATCH");
  const std::string& path = args.operands[0];
  PackageReport report;
  SignatureReport signature;
  if (!CheckPatch(name, path, args, &report, &signature)) return kExitFailed;

  std::printf("%s\n", HashListLine(report).c_str());
  std::printf("signature: %s\n", SignatureText(signature).c_str());
  unsigned verified = 0;
  for (const EntryReport& entry : report.entries) {
    std::printf("%-10s  %s", EntryCheckText(entry.check), entry.name.c_str());
    if (entry.check == kEntryDiffers) {
      std::printf("  (listed %s, data %s)", ContentSumHex(entry.listed).c_str(),
                  ContentSumHex(entry.computed).c_str());
    }
    std::printf("\n");
    if (entry.check == kEntryMatches) ++verified;
  }

  switch (JudgePackage(report)) {
    case kPackagePasses:
      // The publisher's release check: a signature that is there must hold.
      if (signature.state == kSignatureFails) {
        Error(name, path + ": fails: the signature does not verify (" + signature.reason + ")");
        return kExitFailed;
      }
      std::printf("%s: passes; %u of %u entries verified\n", path.c_str(), verified,
                  static_cast<unsigned>(report.entries.size()));
      return kExitOk;
    case kPackageUnreadable:
      Error(name, path + ": fails: an entry cannot be read in full (the update ends with "
                         "UPD_E_PACKAGE)");
      break;
    case kPackageDiffers:
      Error(name, path + ": fails: an entry differs from its hash-list record (the update "
                         "ends with UPD_E_CHECKSUM)");
      break;
    case kPackageBrokenList:
      Error(name, path + ": fails: the hash list cannot be loaded, so the update would "
                         "verify nothing");
      break;
    case kPackageUnopened:
    case kPackageUnusable:
      break;  // reported above
  }
  return kExitFailed;
}

// Progress of a long apply on the terminal: one line, rewritten in place.
struct ApplyProgress {
  uint32_t index = 0;
  uint32_t count = 0;
  std::string name;
  int percent = -1;
  size_t width = 0;

  void Show(const std::string& line) {
    std::string padded = line;
    if (padded.size() < width) padded.append(width - padded.size(), ' ');
    width = line.size();
    std::fprintf(stderr, "\r%s", padded.c_str());
    std::fflush(stderr);
  }
  void Clear() {
    if (width == 0) return;
    std::fprintf(stderr, "\r%s\r", std::string(width, ' ').c_str());
    std::fflush(stderr);
  }
  std::string Prefix() const {
    return "[" + std::to_string(index + 1) + "/" + std::to_string(count) + "] " + name;
  }

  static void EntryStarted(void* context, uint32_t index, uint32_t count, const char* name,
                           uint32_t) {
    ApplyProgress* self = static_cast<ApplyProgress*>(context);
    self->index = index;
    self->count = count;
    self->name = name;
    self->percent = -1;
    self->Show(self->Prefix());
  }
  static void BytesDone(void* context, uint64_t done, uint64_t total) {
    ApplyProgress* self = static_cast<ApplyProgress*>(context);
    int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    if (percent == self->percent) return;
    self->percent = percent;
    self->Show(self->Prefix() + "  " + std::to_string(percent) + "%");
  }
};

int RunApply(const char* name, const Arguments& args) {
  if (args.operands.size() != 2) return UsageError(name, "give PATCH and FOLDER");
  ApplyProgress progress;
  ApplyObserver observer;
  observer.context = &progress;
  observer.entryStarted = &ApplyProgress::EntryStarted;
  observer.bytesDone = &ApplyProgress::BytesDone;
  bool showProgress = StderrIsTerminal();
  UpdateResult result = ApplyUpdateFromFile(args.operands[0].c_str(), args.operands[1].c_str(),
                                            showProgress ? &observer : nullptr);
  progress.Clear();
  std::printf("%s\n", DescribeUpdateResult(result).c_str());
  if (result == UPD_OK) return kExitOk;
  if ((result & 0xFFFFFF00u) == 0x80000000u) return kExitApplyBase + (result & 0xFFu);
  return kExitFailed;
}

std::string ApplyHelp();

// list and verify say the same about signatures.
#define SIGNATURE_HELP                                                             \
  "The signature line is \"signature: \" and one of:\n"                           \
  "  none                       no Authenticode signature\n"                       \
  "  none (not a PE program)    the file is no Windows program at all\n"           \
  "  present, verifies          osslsigncode verify accepts it\n"                  \
  "  present, does not verify (WHY)\n"                                             \
  "                             the file was changed after signing, the\n"         \
  "                             certificate is not trusted (or has expired),\n"    \
  "                             or the certificate table cannot be read\n"         \
  "  present, not checked (osslsigncode not found)\n"                              \
  "                             osslsigncode is not on PATH\n"                     \
  "\n"                                                                             \
  "  --ca FILE  the CA certificates (PEM) that the signer's chain must end in\n"   \
  "             (osslsigncode -CAfile). Without it osslsigncode uses its default\n" \
  "             CA file, the system's trusted CAs: a certificate of your own CA,\n" \
  "             or a self-signed one, then does not verify.\n"

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"sum", "print the content checksum of files",
       "Usage: patchtool sum FILE...\n"
       "\n"
       "Prints one line per FILE: its content checksum as 16 lower-case hex digits\n"
       "(the 8 stored bytes in order, as a hash list stores them), two spaces and\n"
       "the FILE as given. An empty file gives 0000000000000000.\n"
       "\n"
       "Exit status: 0 when every FILE was read, 1 otherwise (the others are still\n"
       "printed), 2 on wrong usage.\n",
       {},
       RunSum},
      {"hashlist", "write a hash list (qen.hvl)",
       "Usage: patchtool hashlist -o OUT [--base OLD] FILE...\n"
       "\n"
       "Writes a hash list to OUT with one record per FILE, under the FILE's base\n"
       "name (at most 55 bytes), in the order given.\n"
       "\n"
       "  -o, --output OUT  the list to write; OUT may be OLD itself\n"
       "  --base OLD        start from the list OLD, which must load completely.\n"
       "                    Records whose name matches a FILE's (letter case does\n"
       "                    not count) get the FILE's checksum and keep their place\n"
       "                    and stored name: the first such record, which decides\n"
       "                    verification, and any later ones of the same name, so\n"
       "                    that no stale checksum stays behind. FILEs that no\n"
       "                    record names are appended.\n"
       "\n"
       "Prints one line per FILE: checksum, name, and added or replaced. Two FILEs\n"
       "of the same name are refused. On any error nothing is written and an\n"
       "existing OUT is left as it was.\n"
       "\n"
       "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n",
       {{"output", 'o', true}, {"base", 0, true}},
       RunHashList},
      {"pack", "build a patch: the updater stub followed by a package",
       "Usage: patchtool pack --stub STUB -o OUT [--hash-list] FILE...\n"
       "\n"
       "Writes OUT: STUB, zero fill up to offset 65536, and a package of the FILEs\n"
       "as entries in the order given, under their base names. A FILE whose name is\n"
       "qen.hvl (letter case does not count) is the package's hash list.\n"
       "\n"
       "  --stub STUB       the updater program; at most 65536 bytes\n"
       "  -o, --output OUT  the patch to write\n"
       "  --hash-list       add a hash list of the FILEs, stored last as QEN.hvl\n"
       "\n"
       "Refused, with nothing written and an existing OUT left as it was: a name\n"
       "longer than 15 bytes or holding a colon or parent step, two FILEs of the\n"
       "same name (letter case does not count; so also two hash lists), a STUB\n"
       "longer than 65536 bytes, a signed STUB (pack the unsigned updater, then\n"
       "sign the patch), more than 16 entries, an entry that would start at or\n"
       "beyond 2 GiB, a patch that would end beyond 4 GiB, a FILE or STUB that\n"
       "cannot be read.\n"
       "\n"
       "Warns on stderr, and still packs, when the name of OUT holds none of the\n"
       "words setup, install, update or patch (letter case does not count): the\n"
       "updater has no manifest, so Windows runs it elevated only when its name\n"
       "holds one of them, and unelevated its writes into a protected install\n"
       "folder (under Program Files) go to the player's VirtualStore, where the\n"
       "game never sees them.\n"
       "\n"
       "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n",
       {{"stub", 0, true}, {"output", 'o', true}, {"hash-list", 0, false}},
       RunPack},
      {"sign", "sign a patch (Authenticode, by osslsigncode)",
       "Usage: patchtool sign PATCH --cert CERT --key KEY [--pass-file FILE]\n"
       "                      [--timestamp URL] [-o OUT]\n"
       "\n"
       "Signs PATCH with an Authenticode signature made by osslsigncode, which\n"
       "must be on PATH (Debian: apt-get install osslsigncode). Sign after\n"
       "packing: the signature's certificate table goes behind the package, where\n"
       "the updater reads nothing, and the signature covers every byte before it,\n"
       "so any later change to the patch breaks it.\n"
       "\n"
       "  --cert CERT       the signing certificate, followed by any intermediate\n"
       "                    CA certificates (PEM or DER; osslsigncode -certs)\n"
       "  --key KEY         its private key (PEM, DER or PVK; osslsigncode -key)\n"
       "  --pass-file FILE  a file holding the key's password (osslsigncode\n"
       "                    -readpass); a key with a password needs it, as\n"
       "                    osslsigncode is given no terminal to ask on\n"
       "  --timestamp URL   an RFC 3161 time-stamp server (osslsigncode -ts);\n"
       "                    without one, the signature stops verifying when the\n"
       "                    certificate expires\n"
       "  -o, --output OUT  write the signed patch to OUT and leave PATCH as it\n"
       "                    is; without it PATCH itself is replaced\n"
       "\n"
       "Refused, with nothing written: a PATCH that is signed already (signing\n"
       "twice), one that is not a Windows program or carries no usable package,\n"
       "one that patchtool verify fails, a CERT, KEY or FILE that cannot be read.\n"
       "osslsigncode writes a temporary file beside OUT (or PATCH), which takes\n"
       "its place only when the package reads back the same from it (the header,\n"
       "the directory and every entry's data) and the certificate table lies\n"
       "behind the package. A failed signing leaves PATCH and OUT as they were.\n"
       "Warns like pack when the name of the signed file holds none of the words\n"
       "setup, install, update or patch.\n"
       "\n"
       "Prints one line: the file written, the entries read back and where the\n"
       "certificate table lies.\n"
       "\n"
       "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n",
       {{"cert", 0, true},
        {"key", 0, true},
        {"pass-file", 0, true},
        {"timestamp", 0, true},
        {"output", 'o', true}},
       RunSign},
      {"list", "show a patch's entries and whether each matches the hash list",
       "Usage: patchtool list [--ca FILE] PATCH\n"
       "\n"
       "Prints the entry count and data base, the hash list, the signature, and\n"
       "then the package's entries in directory order: index, offset from the\n"
       "data base, size, the check against the hash list, and the stored name.\n"
       "The check is one of:\n"
       "  matches     the first hash-list record of the name has the same checksum\n"
       "  differs     it has another checksum: the update would stop there\n"
       "  not listed  no record names the entry: it is written unverified\n"
       "  unreadable  the entry's data cannot be reached or read in full\n"
       "\n"
       SIGNATURE_HELP
       "\n"
       "Exit status: 0 when the package is usable, 1 when it cannot be opened or\n"
       "used (the reason goes to stderr), an entry is unreadable or the CA FILE\n"
       "cannot be read, 2 on wrong usage. The signature does not change it.\n",
       {{"ca", 0, true}},
       RunList},
      {"apply", "apply a patch to an install folder", nullptr, {}, RunApply},
      {"verify", "check every entry of a patch against its hash list",
       "Usage: patchtool verify [--ca FILE] PATCH\n"
       "\n"
       "Reads every entry of PATCH, as the update would, without writing anything,\n"
       "and prints the hash list and the signature, one line per entry: matches,\n"
       "differs (with both checksums), not listed or unreadable, then a closing\n"
       "line when the patch passes.\n"
       "\n"
       SIGNATURE_HELP
       "\n"
       "Exit status: 0 when the patch passes; 1 when it cannot be opened or used,\n"
       "an entry is unreadable, a listed entry differs, a hash-list entry exists\n"
       "but cannot be loaded (the update would then verify nothing), a signature\n"
       "is present and does not verify, or the CA FILE cannot be read; 2 on\n"
       "wrong usage. A patch without a hash list passes, unverified; so does an\n"
       "unsigned patch, and a signed one whose signature was not checked.\n",
       {{"ca", 0, true}},
       RunVerify},
  };
  return commands;
}

std::string ApplyHelp() {
  std::string help =
      "Usage: patchtool apply PATCH FOLDER\n"
      "\n"
      "Applies PATCH to the install folder FOLDER exactly as the updater would:\n"
      "verifies each entry against the hash list, writes it into FOLDER, and adds\n"
      "the written names to FOLDER's uninst.lst (which must exist). Prints one\n"
      "line: the result's name, its value and its meaning. On a terminal, the\n"
      "progress is shown on stderr.\n"
      "\n"
      "Results and exit statuses:\n";
  for (size_t i = 0; i < kUpdateResultCount; ++i) {
    UpdateResult result = kUpdateResults[i];
    int status = result == UPD_OK ? kExitOk : kExitApplyBase + static_cast<int>(result & 0xFFu);
    char line[64];
    std::snprintf(line, sizeof line, "  %2d  %-20s 0x%08X  ", status, UpdateResultName(result),
                  static_cast<unsigned>(result));
    help += line;
    help += UpdateResultMeaning(result);
    help += "\n";
  }
  help += "   1  any other result code\n   2  wrong usage\n";
  return help;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : Commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

void PrintHelp(const Command& command) {
  std::string help = command.help != nullptr ? command.help : ApplyHelp();
  std::fputs(help.c_str(), stdout);
}

void PrintTopHelp() {
  std::printf(
      "patchtool: builds, inspects and tests Velmora fix patches.\n"
      "\n"
      "Usage: patchtool COMMAND [ARGUMENTS]\n"
      "       patchtool COMMAND --help   help on one command\n"
      "       patchtool --help\n"
      "\n"
      "Commands:\n");
  for (const Command& command : Commands()) {
    std::printf("  %-9s %s\n", command.name, command.summary);
  }
  std::printf(
      "\n"
      "Options may stand before or after the operands; \"--\" ends them.\n"
      "Errors go to stderr, one line each. Exit status: 0 on success, 1 on\n"
      "failure, 2 on wrong usage; apply has its own (patchtool apply --help).\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "patchtool: no command given (see patchtool --help)\n");
    return kExitUsage;
  }
  std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    if (argc > 2 && first == "help") {
      const Command* command = FindCommand(argv[2]);
      if (command == nullptr) {
        std::fprintf(stderr, "patchtool: unknown command %s (see patchtool --help)\n", argv[2]);
        return kExitUsage;
      }
      PrintHelp(*command);
      return kExitOk;
    }
    PrintTopHelp();
    return kExitOk;
  }
  const Command* command = FindCommand(first);
  if (command == nullptr) {
    std::fprintf(stderr, "patchtool: unknown command %s (see patchtool --help)\n", first.c_str());
    return kExitUsage;
  }
  Arguments args;
  std::string error;
  if (!ParseArguments(argc - 2, argv + 2, command->options, &args, &error)) {
    return UsageError(command->name, error);
  }
  if (args.help) {
    PrintHelp(*command);
    return kExitOk;
  }
  int status = command->run(command->name, args);
  std::fflush(stdout);
  return status;
}
