#include "core/text/version.h"

#include "core/text/text.h"

namespace tarvix {

namespace {

bool all_digits(std::string_view part) noexcept {
    if (part.empty()) return false;
    for (const char c : part)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string_view without_leading_zeros(std::string_view digits) noexcept {
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    return digits;
}

}  // namespace

MajorMinor major_minor(std::string_view version) noexcept {
    const size_t first = version.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos) return {};
    version = version.substr(first, version.find_last_not_of(kWhitespace) - first + 1);
    MajorMinor result;
    const size_t dot = version.find('.');
    const size_t second = dot == std::string_view::npos ? dot : version.find('.', dot + 1);
    result.text = version.substr(0, second);
    const std::string_view major = version.substr(0, dot);
    const std::string_view minor = dot == std::string_view::npos ? std::string_view("0") : result.text.substr(dot + 1);
    if (all_digits(major) && all_digits(minor)) {
        result.numeric = true;
        result.major = without_leading_zeros(major);
        result.minor = without_leading_zeros(minor);
    }
    return result;
}

bool same_major_minor(std::string_view a, std::string_view b) noexcept {
    const MajorMinor x = major_minor(a), y = major_minor(b);
    if (x.numeric != y.numeric) return false;
    return x.numeric ? x.major == y.major && x.minor == y.minor : equal_fold(x.text, y.text);
}

}  // namespace tarvix
