#include "publish/packages/composition.h"

#include "fileio/utf8.h"

namespace {

constexpr uint32_t kVoiced = 0x3099;      // combining katakana-hiragana voiced sound mark
constexpr uint32_t kSemiVoiced = 0x309A;  // combining semi-voiced sound mark

// Kana whose voiced form is the next code point: か to ぢ every second one,
// つ て と, and the same in katakana.
bool TakesVoicedNext(uint32_t point) {
  if (point >= 0x30A0) point -= 0x60;  // katakana to hiragana
  if (point >= 0x304B && point <= 0x3061) return (point - 0x304B) % 2 == 0;
  return point == 0x3064 || point == 0x3066 || point == 0x3068;
}

// は ひ ふ へ ほ and their katakana: voiced the next code point,
// semi-voiced the one after.
bool IsHaRow(uint32_t point) {
  if (point >= 0x30A0) point -= 0x60;
  return point >= 0x306F && point <= 0x307B && (point - 0x306F) % 3 == 0;
}

struct Pair {
  uint32_t base;
  uint32_t mark;
  uint32_t composed;
};

// The kana whose voiced form lies elsewhere.
const Pair kKanaPairs[] = {
    {0x3046, kVoiced, 0x3094},  // う ゔ
    {0x309D, kVoiced, 0x309E},  // ゝ ゞ
    {0x30A6, kVoiced, 0x30F4},  // ウ ヴ
    {0x30EF, kVoiced, 0x30F7},  // ワ ヷ
    {0x30F0, kVoiced, 0x30F8},  // ヰ ヸ
    {0x30F1, kVoiced, 0x30F9},  // ヱ ヹ
    {0x30F2, kVoiced, 0x30FA},  // ヲ ヺ
    {0x30FD, kVoiced, 0x30FE},  // ヽ ヾ
};

// Latin letters with one accent: the letters of Latin-1 that a Western
// file name most often holds (none of them is in code page 932, but the
// publisher should learn which letter it is).
constexpr uint32_t kGrave = 0x0300, kAcute = 0x0301, kCircumflex = 0x0302, kTilde = 0x0303,
                   kDiaeresis = 0x0308, kRing = 0x030A, kCedilla = 0x0327;

struct LatinRow {
  uint32_t mark;
  const char* bases;  // the base letters, in the order of their composed forms
  const uint32_t* composed;
};

const uint32_t kGraves[] = {0xC0, 0xC8, 0xCC, 0xD2, 0xD9, 0xE0, 0xE8, 0xEC, 0xF2, 0xF9};
const uint32_t kAcutes[] = {0xC1, 0xC9, 0xCD, 0xD3, 0xDA, 0xDD, 0xE1, 0xE9, 0xED, 0xF3, 0xFA, 0xFD};
const uint32_t kCircumflexes[] = {0xC2, 0xCA, 0xCE, 0xD4, 0xDB, 0xE2, 0xEA, 0xEE, 0xF4, 0xFB};
const uint32_t kTildes[] = {0xC3, 0xD1, 0xD5, 0xE3, 0xF1, 0xF5};
const uint32_t kDiaereses[] = {0xC4, 0xCB, 0xCF, 0xD6, 0xDC, 0xE4, 0xEB, 0xEF, 0xF6, 0xFC, 0xFF};
const uint32_t kRings[] = {0xC5, 0xE5};
const uint32_t kCedillas[] = {0xC7, 0xE7};

const LatinRow kLatinRows[] = {
    {kGrave, "AEIOUaeiou", kGraves},
    {kAcute, "AEIOUYaeiouy", kAcutes},
    {kCircumflex, "AEIOUaeiou", kCircumflexes},
    {kTilde, "ANOano", kTildes},
    {kDiaeresis, "AEIOUaeiouy", kDiaereses},
    {kRing, "Aa", kRings},
    {kCedilla, "Cc", kCedillas},
};

}  // namespace

bool IsCombiningMark(uint32_t point) {
  if (point == kVoiced || point == kSemiVoiced) return true;
  for (const LatinRow& row : kLatinRows) {
    if (row.mark == point) return true;
  }
  return false;
}

uint32_t ComposedOf(uint32_t base, uint32_t mark) {
  if (mark == kVoiced && TakesVoicedNext(base)) return base + 1;
  if ((mark == kVoiced || mark == kSemiVoiced) && IsHaRow(base)) {
    return base + (mark == kVoiced ? 1 : 2);
  }
  for (const Pair& pair : kKanaPairs) {
    if (pair.base == base && pair.mark == mark) return pair.composed;
  }
  if (base >= 0x80) return 0;
  for (const LatinRow& row : kLatinRows) {
    if (row.mark != mark) continue;
    for (uint32_t i = 0; row.bases[i] != '\0'; ++i) {
      if (static_cast<uint32_t>(row.bases[i]) == base) return row.composed[i];
    }
  }
  return 0;
}

std::string ComposedText(const std::string& utf8) {
  std::string out;
  const uint8_t* text = reinterpret_cast<const uint8_t*>(utf8.data());
  // The last character written to out, while it may still take a mark.
  uint32_t last = 0;
  size_t lastAt = 0;
  for (size_t at = 0; at < utf8.size();) {
    uint32_t length;
    uint32_t point = Utf8Decode(text + at, utf8.size() - at, &length);
    uint32_t composed = last != 0 && point != kUtf8Invalid ? ComposedOf(last, point) : 0;
    if (composed != 0) {
      char bytes[4];
      out.resize(lastAt);
      out.append(bytes, Utf8Encode(composed, bytes));
      last = 0;  // one mark per character
    } else {
      lastAt = out.size();
      last = point == kUtf8Invalid ? 0 : point;
      out.append(utf8, at, length);
    }
    at += length;
  }
  return out;
}
