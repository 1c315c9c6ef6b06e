// The form calls and response headers of the CGI layer, over the fields
// that cgic_request.cpp parsed for this run.
#include "cgi/cgic_layer.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "cgi/cgic_request.h"

FILE* cgiOut = stdout;

namespace {

std::vector<cgic::FormField> gFields;

// Names and values are compared as C strings, as the programs expect: a
// decoded NUL ends them.
const cgic::FormField* FindFirst(const char* name) {
    for (const cgic::FormField& field : gFields)
        if (std::strcmp(field.name.c_str(), name) == 0) return &field;
    return nullptr;
}

// Like atoi, but a value beyond int saturates instead of being undefined
// (the terminal's 32-bit strtol saturates the same way).
int ParseLeadingInt(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

namespace cgic {

bool LoadForm(const Request& request, FILE* in) {
    std::vector<FormField> fields;
    const bool ok = ParseRequest(request, in, &fields);
    gFields = std::move(fields);
    return ok;
}

}  // namespace cgic

void cgiHeaderContentType(const char* mimeType) { std::fprintf(cgiOut, "Content-type: %s\r\n\r\n", mimeType); }

void cgiHeaderStatus(int status, const char* message) {
    std::fprintf(cgiOut, "Status: %d %s\r\n\r\n", status, message);
}

cgiFormResultType cgiFormRadio(const char* name, const char* const* valuesText, int valuesTotal, int* result,
                               int defaultV) {
    const cgic::FormField* field = FindFirst(name);
    if (!field) {
        *result = defaultV;
        return cgiFormNotFound;
    }
    for (int i = 0; i < valuesTotal; ++i) {
        if (std::strcmp(valuesText[i], field->value.c_str()) == 0) {
            *result = i;
            return cgiFormSuccess;
        }
    }
    *result = defaultV;
    return cgiFormNoSuchChoice;
}

cgiFormResultType cgiFormInteger(const char* name, int* result, int defaultV) {
    const cgic::FormField* field = FindFirst(name);
    if (!field) {
        *result = defaultV;
        return cgiFormNotFound;
    }
    const char* text = field->value.c_str();
    if (*text == '\0') {
        *result = defaultV;
        return cgiFormEmpty;
    }
    const unsigned char first = static_cast<unsigned char>(text[std::strspn(text, " \n\r\t")]);
    if (!std::isdigit(first) && first != '-' && first != '+') {
        *result = defaultV;
        return cgiFormBadType;
    }
    *result = ParseLeadingInt(text);
    return cgiFormSuccess;
}
