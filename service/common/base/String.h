#pragma once

#include <string>

// The system's byte string: a std::string with the few search, cut, trim and
// number operations the protocol parsers, settings text and path building use.
// Positions are byte offsets; a text that does not occur gives -1.
class String : public std::string {
public:
    String() = default;
    String(const char* text);  // NOLINT: implicit on purpose, like std::string
    String(const char* text, int length);
    String(const std::string& text);  // NOLINT
    String(std::string&& text);       // NOLINT
    explicit String(int value);
    String(const String&) = default;
    String(String&&) = default;
    String& operator=(const String&) = default;
    String& operator=(String&&) = default;

    void toLower();
    void toUpper();
    int toInteger() const;

    // Text after / before the first occurrence of `s`; empty when `s` does
    // not occur, so chained cuts of a missing key yield an empty value.
    String after(const char* s) const;
    String before(const char* s) const;

    int indexOf(const char* s) const;
    bool contains(const char* s) const;

    // Drops leading and trailing space, CR and LF (tab is kept).
    void removeWhiteSpace();

    const char* toCharArray() const { return c_str(); }
};
