// Conversion of texts between UTF-8 (source literals, Qt) and GBK (files, logs) through iconv.
#include "base/gbk_text.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>

namespace zrq {
namespace {

// Converts with a fresh descriptor per call: conversions happen once per text, never per frame.
// `replaceInvalid` turns an undecodable byte into U+FFFD (only for GBK -> UTF-8).
std::string convert(const char* to, const char* from, std::string_view input, bool replaceInvalid) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw EncodingError(std::string("no conversion from ") + from + " to " + to);
    }
    std::string out;
    out.resize(input.size() * 2 + 8);
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    size_t used = 0;
    while (inLeft > 0) {
        char* outPtr = out.data() + used;
        size_t outLeft = out.size() - used;
        size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        used = out.size() - outLeft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else if ((errno == EILSEQ || errno == EINVAL) && replaceInvalid) {
            // Skip one byte and put the replacement character in its place.
            ++in;
            --inLeft;
            out.resize(std::max(out.size(), used + 8));
            out.replace(used, 3, "\xEF\xBF\xBD");
            used += 3;
        } else {
            iconv_close(cd);
            throw EncodingError(std::string("text cannot be converted from ") + from + " to " + to);
        }
    }
    iconv_close(cd);
    out.resize(used);
    return out;
}

}  // namespace

GbkText GbkText::fromBytes(std::string bytes) { return GbkText(std::move(bytes)); }

GbkText GbkText::fromUtf8(std::string_view utf8) {
    return GbkText(convert("GBK", "UTF-8", utf8, false));
}

std::string GbkText::toUtf8() const { return convert("UTF-8", "GBK", bytes_, true); }

}  // namespace zrq
