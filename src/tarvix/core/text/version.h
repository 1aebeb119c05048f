// Version texts, as documents and schemas state them. A document goes with
// a schema of the same major.minor: the first two parts of the version split
// at ".", after the blanks, tabs and line ends around it. When both parts are
// runs of ASCII digits (a missing minor is 0) they compare as numbers:
// "8.8.0", "8.8" and "08.8" agree, "8.8" and "8.80" do not, "9" is "9.0".
// Any other version compares as the text of its first two parts with ASCII
// letters in any case: "Beta.X.1" is "beta.x", "V8-0" is "v8-0", "+8.0" is
// not "8.0".
#pragma once

#include <string_view>

namespace tarvix {

struct MajorMinor {
    bool numeric = false;
    // Numeric: the digits of each part without leading zeros ("0" for zero).
    std::string_view major, minor;
    // Otherwise: the first two parts as written, with the "." between them.
    std::string_view text;
};

MajorMinor major_minor(std::string_view version) noexcept;

// Whether two versions have the same major.minor.
bool same_major_minor(std::string_view a, std::string_view b) noexcept;

}  // namespace tarvix
