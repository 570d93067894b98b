// GBK (code page 936) byte strings: the form in which every interface text is held, logged and
// saved.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace zrq {

// Raised when a text cannot be converted between UTF-8 and GBK.
struct EncodingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A text held as GBK bytes, exactly as they go into logs and files. ASCII is the same in both.
class GbkText {
public:
    GbkText() = default;

    // Takes bytes that are already GBK, unchanged.
    static GbkText fromBytes(std::string bytes);
    // Converts UTF-8 (the encoding of the source literals) to GBK through iconv.
    static GbkText fromUtf8(std::string_view utf8);

    const std::string& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    // Converts back to UTF-8 for display; bytes that are not valid GBK become U+FFFD.
    std::string toUtf8() const;

    GbkText& operator+=(const GbkText& other) {
        bytes_ += other.bytes_;
        return *this;
    }
    // ASCII text appends as it is.
    GbkText& appendAscii(std::string_view ascii) {
        bytes_.append(ascii);
        return *this;
    }
    friend GbkText operator+(GbkText a, const GbkText& b) { return a += b; }
    friend bool operator==(const GbkText&, const GbkText&) = default;

private:
    explicit GbkText(std::string bytes) : bytes_(std::move(bytes)) {}
    std::string bytes_;
};

// Shorthand for a text written as a UTF-8 literal in the source.
inline GbkText gbk(std::string_view utf8) { return GbkText::fromUtf8(utf8); }

}  // namespace zrq
