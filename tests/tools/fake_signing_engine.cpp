// A stand-in for osslsigncode in patchtool's tests, copied onto PATH under
// that name. It keeps the arguments it got, one a line, in engine-args.txt
// of the current folder, and behaves as the environment variable FAKE_MODE
// says:
//   sign:   "fails"                   prints a reason and an OpenSSL error
//                                     stack line, exits 1, writes nothing
//           "leaves it unsigned"      copies -in to -out
//           "appends a table"         copies, and appends a 16-byte
//                                     certificate table behind everything
//           "changes an entry"        the same, with a byte near the end of
//                                     the package changed
//           "changes the header"      the same, with a byte of the package
//                                     header's signature changed
//           "table over the package"  copies, with the table entry pointing
//                                     at offset 65536
//           "timestamp fails"         prints what osslsigncode 2.9 prints when
//                                     its time-stamp server does not answer
//           "hangs"                   writes half the file, creates
//                                     engine-waiting in the current folder and
//                                     waits two minutes (to be interrupted)
//           a write that fails (a full disk): prints what osslsigncode
//           prints then, removes -out and exits 255
//   verify: "verifies" exits 0; "mismatch" prints a digest mismatch, exits 1
// The files are PE images whose headers start at 0x40 (e_lfanew) with a
// PE32 optional header, as the tests make them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr size_t kTableEntryAt = 0x40 + 24 + 96 + 4 * 8;

std::string Value(int argc, char** argv, const char* option) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], option) == 0) return argv[i + 1];
  }
  return std::string();
}

void PutLe32(std::vector<unsigned char>* data, size_t at, unsigned long v) {
  for (int i = 0; i < 4; ++i) (*data)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

void Wait(unsigned seconds) {
#ifdef _WIN32
  Sleep(seconds * 1000);
#else
  sleep(seconds);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (FILE* log = std::fopen("engine-args.txt", "wb")) {
    for (int i = 1; i < argc; ++i) std::fprintf(log, "%s\n", argv[i]);
    std::fclose(log);
  }
  const char* modeVariable = std::getenv("FAKE_MODE");
  std::string mode = modeVariable != nullptr ? modeVariable : "";
  if (argc > 1 && std::strcmp(argv[1], "verify") == 0) {
    if (mode == "verifies") return 0;
    std::printf("Calculated message digest : 00     MISMATCH!!!\nFailed\n");
    return 1;
  }
  if (mode == "timestamp fails") {
    std::string url = Value(argc, argv, "-ts");
    std::printf("Connecting to %s\nFailed\n", url.c_str());
    std::printf("HTTP failure: Failed to get data from %s\nRFC 3161 timestamping failed\n"
                "Use the \"-t\" option to add the Authenticode Time-Stamp Authority or choose "
                "another one RFC3161 Time-Stamp Authority\nUnable to set unauthenticated "
                "attributes\n", url.c_str());
    return 1;
  }
  if (mode == "fails") {
    std::printf("Failed to read certificate file: %s\n", Value(argc, argv, "-certs").c_str());
    std::printf("4060DB209A7F0000:error:10800075:PKCS7 routines:PKCS7_verify:error\nFailed\n");
    return 1;
  }
  std::vector<unsigned char> data;
  FILE* in = std::fopen(Value(argc, argv, "-in").c_str(), "rb");
  if (in == nullptr) return 2;
  for (int c; (c = std::fgetc(in)) != EOF;) data.push_back(static_cast<unsigned char>(c));
  std::fclose(in);
  if (data.size() < 65536) return 2;
  if (mode == "changes an entry") data[data.size() - 10] ^= 1;
  if (mode == "changes the header") data[65536 + 3] ^= 1;
  if (mode == "changes an entry" || mode == "changes the header" || mode == "appends a table") {
    PutLe32(&data, kTableEntryAt, static_cast<unsigned long>(data.size()));
    PutLe32(&data, kTableEntryAt + 4, 16);
    data.resize(data.size() + 16, 0);
  }
  if (mode == "table over the package") {
    PutLe32(&data, kTableEntryAt, 65536);
    PutLe32(&data, kTableEntryAt + 4, 16);
  }
  std::string outPath = Value(argc, argv, "-out");
  FILE* out = std::fopen(outPath.c_str(), "wb");
  if (out == nullptr) return 2;
  if (mode == "hangs") {
    std::fwrite(data.data(), 1, data.size() / 2, out);
    std::fflush(out);
    if (FILE* marker = std::fopen("engine-waiting", "wb")) std::fclose(marker);
    Wait(120);
    return 3;
  }
  bool written = std::fwrite(data.data(), 1, data.size(), out) == data.size();
  if (std::fclose(out) != 0 || !written) {
    std::printf("Unable to modify file header\nUnable to read input file\nFailed\n");
    std::remove(outPath.c_str());
    return 255;
  }
  return 0;
}
