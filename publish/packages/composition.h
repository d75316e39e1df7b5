// Names written decomposed: macOS stores a name such as ガイド.txt with
// ガ as カ followed by the combining voiced sound mark U+3099, and é as e
// followed by U+0301. Code page 932 holds no combining marks, so such a
// name is refused; these tell the publisher the composed form to write
// instead. Names are never renamed by the toolkit itself.
#pragma once

#include <cstdint>
#include <string>

// Whether the code point is a combining mark that composes with the
// character before it (the kana voiced and semi-voiced marks, the common
// Latin accents).
bool IsCombiningMark(uint32_t point);

// The one character that base followed by the combining mark stands for
// (カ U+30AB and U+3099: ガ U+30AC), or 0 when they compose to none.
uint32_t ComposedOf(uint32_t base, uint32_t mark);

// The UTF-8 text with every pair that ComposedOf knows written as its one
// character; everything else as it was.
std::string ComposedText(const std::string& utf8);
