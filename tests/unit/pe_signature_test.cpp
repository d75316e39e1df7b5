#include "publish/signing/pe_signature.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

void PutLe16(Bytes* out, size_t at, uint16_t v) {
  (*out)[at] = static_cast<uint8_t>(v);
  (*out)[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Where the fields of the headers below stand.
constexpr size_t kPe = 0x80;                 // e_lfanew
constexpr size_t kOptional = kPe + 4 + 20;   // the optional header
constexpr size_t kOptionalSizeField = kPe + 4 + 16;

// Headers of a program image, built field by field: the DOS header, "PE",
// the COFF header and an optional header of either format with 16 data
// directories, the certificate table entry (4) set as given; then filler
// up to size bytes.
struct PeShape {
  bool plus = false;  // PE32+ instead of PE32
  uint32_t tableOffset = 0;
  uint32_t tableSize = 0;
  size_t size = 4096;
  uint32_t directoryCount = 16;
  uint16_t optionalSize = 0;  // 0: the format's usual size
};

Bytes BuildPe(const PeShape& shape) {
  Bytes out(shape.size, 0);
  out[0] = 'M';
  out[1] = 'Z';
  PutLe32(&out, 0x3C, kPe);
  out[kPe] = 'P';
  out[kPe + 1] = 'E';
  PutLe16(&out, kPe + 4, shape.plus ? 0x8664 : 0x14C);
  PutLe16(&out, kPe + 6, 1);
  PutLe16(&out, kOptionalSizeField,
          shape.optionalSize != 0 ? shape.optionalSize : (shape.plus ? 240 : 224));
  PutLe16(&out, kOptional, shape.plus ? 0x20B : 0x10B);
  size_t count = kOptional + (shape.plus ? 108 : 92);
  PutLe32(&out, count, shape.directoryCount);
  size_t security = kOptional + (shape.plus ? 112 : 96) + 4 * 8;
  PutLe32(&out, security, shape.tableOffset);
  PutLe32(&out, security + 4, shape.tableSize);
  // Something in the other directories around it (import table, base
  // relocations), which must not be taken for it.
  PutLe32(&out, security - 8 * 3, 0x2000);
  PutLe32(&out, security - 8 * 3 + 4, 0x40);
  PutLe32(&out, security + 8, 0x3000);
  PutLe32(&out, security + 12, 0x10);
  return out;
}

class PeSignatureTest : public ::testing::Test {
 protected:
  TempDir dir_;

  PeSignature Read(const Bytes& file) {
    std::string path = dir_ / "program.exe";
    EXPECT_TRUE(WriteFileBytes(path, file));
    PeSignature signature;
    EXPECT_TRUE(ReadPeSignatureOf(path, &signature));
    return signature;
  }
};

TEST_F(PeSignatureTest, FindsTheCertificateTableInBothFormats) {
  struct Case {
    const char* what;
    PeShape shape;
    PeSignatureStatus status;
    bool inFile;
  };
  const Case cases[] = {
      {"PE32 unsigned", {false, 0, 0, 4096}, kPeUnsigned, false},
      {"PE32+ unsigned", {true, 0, 0, 4096}, kPeUnsigned, false},
      {"PE32 signed", {false, 4096 - 1000, 1000, 4096}, kPeSigned, true},
      {"PE32+ signed", {true, 2048, 2048, 4096}, kPeSigned, true},
      {"table runs past the end", {false, 4000, 97, 4096}, kPeSigned, false},
      {"table far beyond 4 GiB", {false, 0xFFFFFFF0u, 0x20, 4096}, kPeSigned, false},
      {"only the offset set", {false, 4000, 0, 4096}, kPeSigned, true},
      {"only the size set", {false, 0, 8, 4096}, kPeSigned, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeSignature signature = Read(BuildPe(c.shape));
    EXPECT_EQ(c.status, signature.status);
    EXPECT_EQ(c.shape.tableOffset, signature.tableOffset);
    EXPECT_EQ(c.shape.tableSize, signature.tableSize);
    EXPECT_EQ(c.inFile, signature.tableInFile);
  }
}

TEST_F(PeSignatureTest, FieldsAreReadLittleEndian) {
  PeSignature signature = Read(BuildPe({false, 0x00000A08, 0x00000200, 0x1000}));
  EXPECT_EQ(kPeSigned, signature.status);
  EXPECT_EQ(0xA08u, signature.tableOffset);
  EXPECT_EQ(0x200u, signature.tableSize);
}

TEST_F(PeSignatureTest, FilesThatAreNoProgramImage) {
  Bytes signedPe = BuildPe({false, 3000, 1096, 4096});
  struct Case {
    const char* what;
    Bytes file;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}});
  cases.push_back({"random bytes", RandomBytes(4096, 3)});
  cases.push_back({"cut inside the DOS header", Bytes(signedPe.begin(), signedPe.begin() + 63)});
  cases.push_back({"cut inside the optional header's magic",
                   Bytes(signedPe.begin(), signedPe.begin() + kOptional + 1)});
  Bytes noMz = signedPe;
  noMz[0] = 'Z';
  cases.push_back({"no MZ", noMz});
  Bytes noPe = signedPe;
  noPe[kPe + 1] = 'F';
  cases.push_back({"no PE signature", noPe});
  Bytes farPe = signedPe;
  PutLe32(&farPe, 0x3C, 0x10000);
  cases.push_back({"e_lfanew beyond the file", farPe});
  Bytes hugePe = signedPe;
  PutLe32(&hugePe, 0x3C, 0xFFFFFFF0u);
  cases.push_back({"e_lfanew beyond the seek range", hugePe});
  Bytes rom = signedPe;
  PutLe16(&rom, kOptional, 0x107);
  cases.push_back({"ROM image magic", rom});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeSignature signature = Read(c.file);
    EXPECT_EQ(kPeNotPe, signature.status);
    EXPECT_EQ(0u, signature.tableOffset);
    EXPECT_EQ(0u, signature.tableSize);
  }
}

// An optional header that ends before the certificate table entry, or that
// lists fewer directories, holds no table: whatever follows is other data.
TEST_F(PeSignatureTest, OptionalHeaderWithoutTheEntryIsUnsigned) {
  PeShape fewDirectories{false, 3000, 1096, 4096};
  fewDirectories.directoryCount = 4;
  PeShape shortHeader{false, 3000, 1096, 4096};
  shortHeader.optionalSize = 96 + 4 * 8 + 4;
  PeShape shortHeaderPlus{true, 3000, 1096, 4096};
  shortHeaderPlus.optionalSize = 112 + 4 * 8 + 4;
  PeShape justEnough{false, 3000, 1096, 4096};
  justEnough.directoryCount = 5;
  justEnough.optionalSize = 96 + 5 * 8;
  EXPECT_EQ(kPeUnsigned, Read(BuildPe(fewDirectories)).status);
  EXPECT_EQ(kPeUnsigned, Read(BuildPe(shortHeader)).status);
  EXPECT_EQ(kPeUnsigned, Read(BuildPe(shortHeaderPlus)).status);
  EXPECT_EQ(kPeSigned, Read(BuildPe(justEnough)).status);
  // Cut right inside the entry: the 4096-byte image is built, then cut.
  Bytes cut = BuildPe({false, 3000, 1096, 4096});
  cut.resize(kOptional + 96 + 4 * 8 + 4);
  EXPECT_EQ(kPeUnsigned, Read(cut).status);
}

TEST_F(PeSignatureTest, MissingFileIsReported) {
  PeSignature signature;
  signature.status = kPeSigned;
  EXPECT_FALSE(ReadPeSignatureOf(dir_ / "missing.exe", &signature));
  EXPECT_EQ(kPeNotPe, signature.status);
}

}  // namespace
