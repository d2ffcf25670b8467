// Ordering and comparison of Windows-1251 texts without regard to letter
// case, Cyrillic letters included: the order of the sorted list boxes and
// the white-list look-up.
#pragma once

#include <string>
#include <string_view>

namespace mg {

// The lower-case form of one Windows-1251 byte (Latin and Cyrillic letters).
unsigned char FoldCase(unsigned char byte);
std::string FoldCase(std::string_view text);

// <0, 0, >0 like strcmp, on the case-folded texts in Unicode order.
int CompareNoCase(std::string_view a, std::string_view b);
bool SameNoCase(std::string_view a, std::string_view b);

}  // namespace mg
