// Toolkit only: Authenticode signatures of patches, made and checked by
// osslsigncode, the signing engine, which must be on PATH.
//
// A patch is signed after packing: the engine appends its certificate table
// behind the package's last entry, where the updater reads nothing, and
// sets the table's entry in the program's headers. Signing twice and
// packing a signed stub are refused (pack_writer.h): each would leave a
// signature that no longer matches the file.
#pragma once

#include <cstdint>
#include <string>

#include "publish/signing/pe_signature.h"
#include "publish/shared/progress_sink.h"

extern const char kSigningEngine[];  // "osslsigncode"

struct SignJob {
  std::string patch;
  std::string output;     // empty: sign patch in place
  std::string cert;       // certificate chain, PEM or DER
  std::string key;        // its private key
  std::string passFile;   // optional: a file holding the key's password
  std::string timestamp;  // optional: an RFC 3161 time-stamp server's URL
  const ProgressSink* progress = nullptr;
};

struct SignOutcome {
  std::string output;     // the file written
  uint32_t entries = 0;   // package entries read back unchanged
  PeSignature signature;  // where the certificate table landed
};

// Signs job.patch into job.output (or in place). Refuses a file that is
// signed already, is no PE program, carries no usable package or one that
// the package check fails, and an output that is the certificate, the key
// or the password file. The engine writes a temporary file beside the
// output; it replaces the output only when the package reads back the same
// from it (header, directory, every entry's data) and the certificate
// table lies behind the package. On any failure the output and the patch
// are as they were. Putting the output in place is the command's last
// step (OutputFile::CompletesTheWork).
bool SignPatch(const SignJob& job, SignOutcome* outcome, std::string* error);

enum SignatureState {
  kSignatureNone,        // no certificate table
  kSignatureVerifies,    // the engine verified it
  kSignatureFails,       // the engine found it wrong
  kSignatureNotChecked,  // a table is there but the engine could not be run
};

struct SignatureReport {
  SignatureState state = kSignatureNone;
  bool isPe = false;
  std::string reason;  // why it fails or was not checked
};

// Checks the signature of the file at path. caFile, when not empty, holds
// the certificates that the signer's chain must end in; otherwise the
// engine's default CA file (the system's trusted CAs) is used. False only
// when caFile cannot be read (*error says so).
bool CheckSignature(const std::string& path, const std::string& caFile, SignatureReport* report,
                    std::string* error);

// "none", "present, verifies", "present, does not verify (REASON)" or
// "present, not checked (REASON)".
std::string SignatureText(const SignatureReport& report);

// Why the engine failed, from what it printed: its own lines, without
// OpenSSL's error stack. Exposed for its tests.
std::string SummarizeEngineOutput(const std::string& output);
// Why a verification failed, from what the engine printed.
std::string VerifyFailureReason(const std::string& output, bool caGiven);
