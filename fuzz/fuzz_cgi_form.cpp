// The web programs' form input: the request a web server hands a CGI
// program (method, content type and length, query string or body), parsed
// as the programs' entry does, then the settings program's own handling of
// its fields, which sends its record over the CGI channel inside the
// private network. Input: byte 0 the method, byte 1 the content type,
// byte 2 how CONTENT_LENGTH relates to the body; the rest is the query
// string (GET) or the body (POST).
#include <cstdio>
#include <string>

#include "cgi/cgic_layer.h"
#include "cgi/cgic_request.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr const char* kBodyPath = "/tmp/cgi-body";
FILE* gOut = nullptr;

const char* const kMethods[] = {"GET", "POST", "HEAD", ""};
const char* const kContentTypes[] = {
    "application/x-www-form-urlencoded",
    "multipart/form-data; boundary=XyZ",
    "multipart/form-data",
    "text/plain",
};

std::string ContentLength(uint8_t how, size_t bodySize) {
    switch (how % 6) {
    case 0: return std::to_string(bodySize);
    case 1: return std::to_string(bodySize + 1);
    case 2: return bodySize > 0 ? std::to_string(bodySize - 1) : "0";
    case 3: return "";
    case 4: return "-1";
    default: return "99999999999999999999";
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::EnterPrivateNetworkOrDie();
    fuzzsupport::BoardRoot();
    gOut = std::fopen(fuzzsupport::HostPath("/tmp/cgi-out").c_str(), "w");
    return gOut ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 3), size - 3);
    cgic::Request request;
    request.method = kMethods[data[0] % 4];
    request.contentType = kContentTypes[data[1] % 4];
    request.contentLength = ContentLength(data[2], rest.size());
    if (request.method == "GET") request.queryString = rest;
    fuzzsupport::WriteFile(kBodyPath, reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
    FILE* in = std::fopen(fuzzsupport::HostPath(kBodyPath).c_str(), "rb");
    if (in == nullptr) return 0;
    std::rewind(gOut);
    cgiOut = gOut;
    if (cgic::LoadForm(request, in))
        cgiMain();
    else
        cgiHeaderStatus(500, "Error reading form data");
    std::fclose(in);
    return 0;
}
