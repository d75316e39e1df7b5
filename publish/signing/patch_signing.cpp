#include "publish/signing/patch_signing.h"

#include <cctype>
#include <cstdint>
#include <vector>

#include "fileio/disk_file.h"
#include "fileio/toolkit/path_info.h"
#include "publish/shared/output_file.h"
#include "package/pack_directory.h"
#include "publish/packages/package_check.h"
#include "publish/signing/run_program.h"
#include "publish/shared/update_result_text.h"

const char kSigningEngine[] = "osslsigncode";

namespace {

// Paths reach the engine as the file layer would open them.
std::string EnginePath(const std::string& path) {
#ifdef _WIN32
  return path;
#else
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
#endif
}

bool Readable(const std::string& path, const std::string& what, std::string* error) {
  DiskFile file;
  return OpenInput(&file, path, what, error);
}

std::string NotRunText(const ProgramRun& run) {
  if (run.notFound) {
#ifdef _WIN32
    return std::string("signing needs ") + kSigningEngine + ".exe on PATH";
#else
    return std::string("signing needs ") + kSigningEngine + " on PATH (the Debian package " +
           kSigningEngine + ")";
#endif
  }
  return std::string("cannot run ") + kSigningEngine;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    size_t first = 0;
    while (first < line.size() && std::isspace(static_cast<unsigned char>(line[first]))) ++first;
    lines.push_back(line.substr(first));
    start = end + 1;
  }
  return lines;
}

// OpenSSL's error stack: "<thread id>:error:<code>:<library>:...".
bool IsOpenSslStackLine(const std::string& line) {
  return line.find(":error:") != std::string::npos;
}

// The engine's advice on its own options ("Use the "-t" option ..."), which
// patchtool does not take.
bool IsOptionAdvice(const std::string& line) { return line.compare(0, 9, "Use the \"") == 0; }

// Room for the certificate table, which a chain of a few certificates keeps
// far below.
constexpr uint64_t kSignatureRoom = 1u << 20;

// Why the engine failed, in patchtool's terms where they are known.
std::string SigningFailure(const SignJob& job, const std::string& target, const ProgramRun& run) {
  if (job.passFile.empty() && run.output.find("pass phrase") != std::string::npos) {
    // The engine's input is empty, so it cannot ask for a password.
    return job.key + " is protected by a password: give it with --pass-file FILE";
  }
  if (!job.timestamp.empty() && run.output.find("timestamping failed") != std::string::npos) {
    std::string why;
    for (const std::string& line : Lines(run.output)) {
      if (line.compare(0, 14, "HTTP failure: ") == 0) why = " (" + line.substr(14) + ")";
    }
    return "the time-stamp server " + job.timestamp + " gave no time stamp" + why +
           ": check the URL (your CA's RFC 3161 server) and the network, or give another "
           "--timestamp URL";
  }
  // osslsigncode says only that it cannot write its file.
  PathInfo patch;
  uint64_t free;
  std::string folder = FolderOf(target);
  if (GetPathInfo(job.patch, &patch) && FreeSpaceOf(folder, &free) &&
      free < patch.size + kSignatureRoom) {
    return "the disk is full: the signed copy of " + job.patch + " needs about " +
           std::to_string(patch.size + kSignatureRoom) + " bytes beside " + target + ", and " +
           std::to_string(free) + " are free there; free some space, or write the signed " +
           "patch to another disk with -o OUT";
  }
  std::string why = SummarizeEngineOutput(run.output);
  return std::string(kSigningEngine) + " failed" + (why.empty() ? "" : ": " + why);
}

bool SameEntries(const PackageReport& a, const PackageReport& b) {
  if (a.entries.size() != b.entries.size()) return false;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const EntryReport& x = a.entries[i];
    const EntryReport& y = b.entries[i];
    if (x.name != y.name || x.offset != y.offset || x.size != y.size ||
        x.position != y.position || x.check != y.check || !(x.computed == y.computed)) {
      return false;
    }
  }
  return true;
}

bool SamePackage(const PackageReport& a, const PackageReport& b) {
  return a.opened && b.opened && a.packStatus == b.packStatus && a.dataBase == b.dataBase &&
         a.hashListStatus == b.hashListStatus && a.hashListIndex == b.hashListIndex &&
         a.recordCount == b.recordCount && SameEntries(a, b);
}

// The header and directory bytes as stored, the bytes no entry check covers
// (the signature and the reserved fields among them).
bool ReadPackageHead(const std::string& path, uint32_t dataBase, std::vector<uint8_t>* head) {
  DiskFile file;
  head->assign(dataBase - kPackageOffset, 0);
  uint32_t size = static_cast<uint32_t>(head->size());
  return file.OpenRead(path.c_str()) && file.Seek(kPackageOffset) &&
         file.Read(head->data(), size) == size;
}

// Where the package ends: the end of its directory or of its furthest entry.
uint64_t PackageEnd(const PackageReport& report) {
  uint64_t end = report.dataBase;
  for (const EntryReport& entry : report.entries) {
    uint64_t entryEnd = static_cast<uint64_t>(entry.position) + entry.size;
    if (entryEnd > end) end = entryEnd;
  }
  return end;
}

}  // namespace

std::string SummarizeEngineOutput(const std::string& output) {
  std::string summary;
  int kept = 0;
  for (const std::string& line : Lines(output)) {
    if (line.empty() || IsOpenSslStackLine(line) || IsOptionAdvice(line) || line == "Failed" ||
        line == "Succeeded") {
      continue;
    }
    if (kept == 3) {
      summary += "; ...";
      break;
    }
    if (kept != 0) summary += "; ";
    summary += line;
    ++kept;
  }
  return summary;
}

std::string VerifyFailureReason(const std::string& output, bool caGiven) {
  // The digest first: a file changed after signing matters more than whom
  // the certificate is trusted by.
  if (output.find("MISMATCH") != std::string::npos) {
    return "the file was changed after signing";
  }
  static const char* const kChainMarks[] = {"Verify error: ", "Error: "};
  for (const std::string& line : Lines(output)) {
    for (const char* mark : kChainMarks) {
      size_t at = line.find(mark);
      if (at == std::string::npos) continue;
      std::string why = line.substr(at + std::string(mark).size());
      if (why.empty()) continue;
      return "certificate not trusted: " + why + (caGiven ? "" : "; no --ca given");
    }
  }
  if (output.find("No signature found") != std::string::npos ||
      output.find("Unable to extract existing signature") != std::string::npos) {
    return "the certificate table cannot be read";
  }
  std::string summary = SummarizeEngineOutput(output);
  return summary.empty() ? std::string(kSigningEngine) + " verify failed" : summary;
}

bool SignPatch(const SignJob& job, SignOutcome* outcome, std::string* error) {
  *outcome = SignOutcome();
  const std::string& patch = job.patch;
  if (!Readable(patch, "", error)) return false;
  PeSignature before;
  if (!ReadPeSignatureOf(patch, &before)) {
    *error = "cannot open " + patch;
    return false;
  }
  if (before.status == kPeNotPe) {
    *error = patch + " is not a Windows program (no PE headers); sign the patch that pack wrote";
    return false;
  }
  if (before.status == kPeSigned) {
    *error = patch + " is signed already; signing twice is refused: sign the unsigned patch " +
             "(pack it again)";
    return false;
  }
  const std::string& target = job.output.empty() ? patch : job.output;
  if (!CheckOutputPath(target, {{"the certificate", job.cert},
                                {"the key", job.key},
                                {"the password file", job.passFile}},
                       error)) {
    return false;
  }
  PackageReport package;
  if (job.progress != nullptr) job.progress->Stage("checking " + patch);
  CheckPackage(patch, &package, job.progress);
  if (!package.directoryRead) {
    *error = patch + " carries no usable package (" + PackStatusText(package.packStatus) +
             "); pack first, then sign";
    return false;
  }
  PackageVerdict verdict = JudgePackage(package);
  if (verdict == kPackageRefusedEntry) {
    *error = patch + " fails the package check: the updater refuses its " +
             RefusedEntryText(package) + " (see patchtool verify)";
    return false;
  }
  if (verdict == kPackageRefused) {
    *error = patch + " fails the package check: the updater refuses it before writing "
             "anything: " + JudgementText(package) + " (see patchtool verify)";
    return false;
  }
  if (verdict != kPackagePasses) {
    *error = patch + " fails the package check: " + PackageVerdictText(verdict) +
             " (see patchtool verify)";
    return false;
  }
  if (!Readable(job.cert, "", error) || !Readable(job.key, "", error) ||
      (!job.passFile.empty() && !Readable(job.passFile, "", error))) {
    return false;
  }

  OutputFile out(target, OutputKind::kProgram);
  out.CompletesTheWork();
  if (!out.ChooseName(error)) return false;
  std::vector<std::string> args = {kSigningEngine, "sign", "-certs", EnginePath(job.cert),
                                   "-key", EnginePath(job.key)};
  if (!job.passFile.empty()) {
    args.push_back("-readpass");
    args.push_back(EnginePath(job.passFile));
  }
  if (!job.timestamp.empty()) {
    args.push_back("-ts");
    args.push_back(job.timestamp);
  }
  args.push_back("-in");
  args.push_back(EnginePath(patch));
  args.push_back("-out");
  args.push_back(EnginePath(out.TempPath()));
  ProgramRun run;
  if (job.progress != nullptr) job.progress->Stage(std::string("signing with ") + kSigningEngine);
  if (!RunProgram(args, &run)) {
    *error = NotRunText(run);
    return false;
  }
  if (run.exitStatus != 0) {
    *error = SigningFailure(job, target, run);
    return false;
  }

  // The engine must have added a signature and nothing else that matters:
  // the package reads back as before and the table lies behind it.
  PeSignature after;
  PackageReport signedPackage;
  if (!ReadPeSignatureOf(out.TempPath(), &after) || after.status != kPeSigned ||
      !after.tableInFile) {
    *error = std::string(kSigningEngine) + " wrote no certificate table";
    return false;
  }
  if (job.progress != nullptr) job.progress->Stage("reading the signed patch back");
  CheckPackage(out.TempPath(), &signedPackage, job.progress);
  std::vector<uint8_t> head, signedHead;
  if (!SamePackage(package, signedPackage) ||
      !ReadPackageHead(patch, package.dataBase, &head) ||
      !ReadPackageHead(out.TempPath(), package.dataBase, &signedHead) || head != signedHead) {
    *error = std::string("the signed file does not read back the same package");
    return false;
  }
  if (after.tableOffset < PackageEnd(package)) {
    *error = "the certificate table was placed over the package (at byte " +
             std::to_string(after.tableOffset) + ")";
    return false;
  }
  if (!out.Commit(error)) return false;
  outcome->output = target;
  outcome->entries = static_cast<uint32_t>(package.entries.size());
  outcome->signature = after;
  return true;
}

bool CheckSignature(const std::string& path, const std::string& caFile, SignatureReport* report,
                    std::string* error) {
  *report = SignatureReport();
  if (!caFile.empty() && !Readable(caFile, "the CA file", error)) return false;
  PeSignature signature;
  if (!ReadPeSignatureOf(path, &signature)) return true;  // the caller reports the file
  report->isPe = signature.status != kPeNotPe;
  if (signature.status != kPeSigned) return true;
  std::vector<std::string> args = {kSigningEngine, "verify", "-in", EnginePath(path)};
  if (!caFile.empty()) {
    args.push_back("-CAfile");
    args.push_back(EnginePath(caFile));
  }
  ProgramRun run;
  if (!RunProgram(args, &run)) {
    report->state = kSignatureNotChecked;
    report->reason = run.notFound ? std::string(kSigningEngine) + " not found"
                                  : std::string(kSigningEngine) + " could not be run";
    return true;
  }
  if (run.exitStatus == 0) {
    report->state = kSignatureVerifies;
    return true;
  }
  report->state = kSignatureFails;
  report->reason = VerifyFailureReason(run.output, !caFile.empty());
  return true;
}

std::string SignatureText(const SignatureReport& report) {
  switch (report.state) {
    case kSignatureNone:
      return report.isPe ? "none" : "none (not a PE program)";
    case kSignatureVerifies:
      return "present, verifies";
    case kSignatureFails:
      return "present, does not verify (" + report.reason + ")";
    case kSignatureNotChecked:
      return "present, not checked (" + report.reason + ")";
  }
  return "unknown";
}
