// GB2312 <-> UTF-8 conversion: one iconv converter per call, closed before
// returning.
#include "localio/code_convert.h"

#include <iconv.h>

namespace {

// Closes the converter on every path out of CodeConvert.
class Converter {
public:
    Converter(const char* fromCode, const char* toCode) : cd_(::iconv_open(toCode, fromCode)) {}
    ~Converter() {
        if (ok()) ::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

}  // namespace

int CodeConvert(const char* fromCode, const char* toCode, const char* input, size_t* inputLeft, char* output,
                size_t* outputLeft) {
    if (fromCode == nullptr || toCode == nullptr || inputLeft == nullptr || outputLeft == nullptr) return -1;
    if ((input == nullptr && *inputLeft != 0) || (output == nullptr && *outputLeft != 0)) return -1;
    Converter converter(fromCode, toCode);
    if (!converter.ok()) return -1;
    // iconv's input pointer is not const-qualified, but iconv never writes
    // through it.
    char* in = const_cast<char*>(input);
    char* out = output;
    const size_t rc = ::iconv(converter.get(), &in, inputLeft, &out, outputLeft);
    return rc == static_cast<size_t>(-1) ? -1 : 0;
}

int Gb2312ToUtf8(const char* input, size_t inputLength, char* output, size_t outputSize) {
    return CodeConvert("gb2312", "utf-8", input, &inputLength, output, &outputSize);
}

int Utf8ToGb2312(const char* input, size_t* inputLeft, char* output, size_t* outputLeft) {
    return CodeConvert("utf-8", "gb2312", input, inputLeft, output, outputLeft);
}
