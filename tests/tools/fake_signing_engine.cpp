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
//   verify: "verifies" exits 0; "mismatch" prints a digest mismatch, exits 1
// The files are PE images whose headers start at 0x40 (e_lfanew) with a
// PE32 optional header, as the tests make them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
  FILE* out = std::fopen(Value(argc, argv, "-out").c_str(), "wb");
  if (out == nullptr) return 2;
  bool written = std::fwrite(data.data(), 1, data.size(), out) == data.size();
  return std::fclose(out) == 0 && written ? 0 : 2;
}
