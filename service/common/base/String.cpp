#include "base/String.h"

#include <cctype>
#include <climits>
#include <cstdlib>

String::String(const char* text) : std::string(text ? text : "") {}

String::String(const char* text, int length)
    : std::string(text && length > 0 ? std::string(text, static_cast<size_t>(length))
                                     : std::string()) {}

String::String(const std::string& text) : std::string(text) {}

String::String(std::string&& text) : std::string(std::move(text)) {}

String::String(int value) : std::string(std::to_string(value)) {}

void String::toLower() {
    for (char& c : *this) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
}

void String::toUpper() {
    for (char& c : *this) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
}

int String::toInteger() const {
    if (empty()) {
        return 0;
    }
    // atoi's rules (blanks, sign, digits up to the first non-digit), but an
    // out-of-range number is clamped instead of being undefined.
    long value = std::strtol(c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

String String::after(const char* s) const {
    size_t pos = find(s ? s : "");
    if (pos == npos) {
        return String();
    }
    return String(substr(pos + std::char_traits<char>::length(s)));
}

String String::before(const char* s) const {
    size_t pos = find(s ? s : "");
    if (pos == npos) {
        return String();
    }
    return String(substr(0, pos));
}

int String::indexOf(const char* s) const {
    size_t pos = find(s ? s : "");
    return pos == npos ? -1 : static_cast<int>(pos);
}

bool String::contains(const char* s) const {
    return indexOf(s) != -1;
}

void String::removeWhiteSpace() {
    static const char kBlanks[] = " \r\n";
    size_t first = find_first_not_of(kBlanks);
    if (first == npos) {
        // Nothing but blanks: a trimmed blank line is empty.
        clear();
        return;
    }
    size_t last = find_last_not_of(kBlanks);
    *this = String(substr(first, last - first + 1));
}
