// patchtool sign: an Authenticode signature by osslsigncode.
#include <cstdio>

#include "fileio/toolkit/path_info.h"
#include "publish/signing/patch_signing.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

std::string Help() {
  return "Usage: patchtool sign PATCH --cert CERT --key KEY [--pass-file FILE]\n"
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
         "one that patchtool verify fails, a CERT, KEY or FILE that cannot be read,\n"
         "an OUT that is the CERT, KEY or FILE.\n"
         "osslsigncode writes a temporary file beside OUT (or PATCH), which takes\n"
         "its place only when the package reads back the same from it (the header,\n"
         "the directory and every entry's data) and the certificate table lies\n"
         "behind the package. A failed signing leaves PATCH and OUT as they were.\n"
         "Warns like pack when the name of the signed file holds none of the words\n"
         "setup, install, update or patch, and when signing without --timestamp.\n"
         "On a terminal, the progress is shown on stderr.\n"
         "\n"
         "Prints one line: the file written, the entries read back and where the\n"
         "certificate table lies.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
}

int Run(const char* name, const Arguments& args) {
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
  TerminalProgress progress;
  ProgressSink sink = ProgressOf(&progress);
  job.progress = &sink;
  SignOutcome outcome;
  std::string error;
  bool ok = SignPatch(job, &outcome, &error);
  progress.Clear();
  if (!ok) {
    Error(name, error + " (nothing written; " + job.patch + " left as it was)");
    return kExitFailed;
  }
  std::printf("%s: signed; %s read back unchanged; certificate table of %u bytes at "
              "offset %u\n",
              outcome.output.c_str(), Counted(outcome.entries, "entry", "entries").c_str(),
              outcome.signature.tableSize, outcome.signature.tableOffset);
  if (job.timestamp.empty()) {
    // A signed file is not signed again: a time stamp needs the unsigned one.
    PathInfo patch, output;
    bool inPlace = job.output.empty() || (GetPathInfo(job.patch, &patch) &&
                                          GetPathInfo(outcome.output, &output) &&
                                          SameFile(patch, output));
    std::string again =
        inPlace ? "make (or pack) the patch again and sign that with --timestamp URL"
                : "sign " + job.patch + " (still unsigned) again with --timestamp URL";
    Warn(name, "signed without --timestamp: the signature stops verifying when the "
               "certificate expires; a signed patch cannot be signed again, so " + again +
               " (your CA's RFC 3161 server) before you ship");
  }
  WarnUnlessElevated(name, outcome.output);
  return kExitOk;
}

}  // namespace

const Command& SignCommand() {
  static const Command command = {"sign",
                                  "sign a patch (Authenticode, by osslsigncode)",
                                  Help,
                                  {{"cert", 0, true},
                                   {"key", 0, true},
                                   {"pass-file", 0, true},
                                   {"timestamp", 0, true},
                                   {"output", 'o', true}},
                                  Run};
  return command;
}
