// Which box follows an update result. Most rows are also seen in the real
// runs; the results outside the table cannot come from a real package and
// are only reachable here.
#include <gtest/gtest.h>

#include "frontend/front_end.h"
#include "frontend/texts.h"

namespace {

struct OutcomeCase {
  UpdateResult result;
  const char* text;  // null: no box
  bool information;  // else a warning
};

const OutcomeCase kOutcomes[] = {
    {UPD_OK, kTextCompleted, true},
    {UPD_E_PACKAGE, kTextPackageDamaged, false},
    {UPD_E_TOO_MANY, kTextPackageDamaged, false},
    {UPD_E_CHECKSUM, kTextPackageDamaged, false},
    {UPD_E_WRITE, kTextWriteFailed, false},
    {UPD_E_UNINSTALL_LIST, kTextUninstallListFailed, false},
    {UPD_E_WRONG_RELEASE, kTextWrongRelease, false},
    // Outside the table: no box, whatever the value.
    {1, nullptr, false},
    {0x7FFFFFFFu, nullptr, false},
    {0x80000000u, nullptr, false},
    {0x80000007u, nullptr, false},
    {0xFFFFFFFDu, nullptr, false},  // the bits of EXIT_DECLINED
    {0xFFFFFFFFu, nullptr, false},
};

TEST(OutcomeTest, EachResultGetsItsBoxOrNone) {
  for (const OutcomeCase& c : kOutcomes) {
    SCOPED_TRACE(testing::Message() << "result 0x" << std::hex << c.result);
    bool information = !c.information;
    const char* text = OutcomeText(c.result, &information);
    EXPECT_EQ(text, c.text);
    if (c.text != nullptr) {
      EXPECT_EQ(information, c.information);
    }
  }
}

}  // namespace
