#include "publish/packages/extract_patch.h"

#include <gtest/gtest.h>

#include "tests/unit/package_fixture.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/test_support.h"

namespace {

// The disk fills up while the second entry is written: on a small volume
// that tests/run-on-small-volume.sh mounts (4 MiB) and names in
// UPD_TEST_SMALL_VOLUME, a patch of 1 MB and 5 MB is extracted. What the
// extraction wrote before, the first file and the folders it made, is
// removed again: nothing is left half done. Without that volume this case
// does not run.
TEST(ExtractPatchTest, FullSmallVolumeLeavesNothing) {
  const std::string root = SmallVolume();
  if (root.empty()) GTEST_SKIP() << "no small volume for this run";
  ASSERT_TRUE(MakeDir(root + "\\extract"));
  const std::string out = root + "\\extract\\out";
  TempDir dir;
  Bytes patch = BuildPackage({{"a.arc", RandomBytes(1000000, 1)},
                              {"data\\b.arc", RandomBytes(5000000, 2)}});
  Bytes program = BuildProgram({});
  std::copy(program.begin(), program.end(), patch.begin());
  ASSERT_TRUE(WriteFileBytes(dir / "patch.exe", patch));

  ExtractOutcome outcome;
  std::string error;
  EXPECT_FALSE(ExtractPatch(dir / "patch.exe", out, &outcome, nullptr, &error));
  EXPECT_EQ(0u, error.find("cannot write " + out + "\\data\\b.arc: ")) << error;
  EXPECT_EQ(std::vector<std::string>{}, ListDir(root + "\\extract"));
  EXPECT_TRUE(RemoveEmptyDir(root + "\\extract"));
}

}  // namespace
