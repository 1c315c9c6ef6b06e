// Request parsing for the CGI layer: checks the method, content type and
// length itself, reads the body, and hands cgicc exactly what it should
// parse. cgicc's exceptions stop here.
#include "cgi/cgic_request.h"

#include <cgicc/CgiInput.h>
#include <cgicc/Cgicc.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <utility>

namespace cgic {
namespace {

constexpr const char* kUrlEncodedType = "application/x-www-form-urlencoded";
constexpr const char* kMultipartType = "multipart/form-data";

// Feeds cgicc a prepared environment and body instead of the process's own.
class PreparedInput : public cgicc::CgiInput {
public:
    PreparedInput(std::map<std::string, std::string> env, std::string body)
        : env_(std::move(env)), body_(std::move(body)) {}

    size_t read(char* data, size_t length) override {
        const size_t count = std::min(length, body_.size() - pos_);
        std::memcpy(data, body_.data() + pos_, count);
        pos_ += count;
        return count;
    }
    std::string getenv(const char* name) override {
        auto found = env_.find(name);
        return found == env_.end() ? std::string() : found->second;
    }

private:
    std::map<std::string, std::string> env_;
    std::string body_;
    size_t pos_ = 0;
};

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// The media type without its parameters ("text/plain; charset=x" -> "text/plain").
std::string BaseType(const std::string& contentType) { return Trimmed(contentType.substr(0, contentType.find(';'))); }

bool SameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The boundary parameter, unquoted; empty when there is none.
std::string Boundary(const std::string& contentType) {
    size_t at = contentType.find(';');
    while (at != std::string::npos) {
        std::string param = Trimmed(contentType.substr(at + 1, contentType.find(';', at + 1) - at - 1));
        if (strncasecmp(param.c_str(), "boundary=", 9) == 0) {
            std::string value = param.substr(9);
            const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
            if (quoted) value = value.substr(1, value.size() - 2);
            return value;
        }
        at = contentType.find(';', at + 1);
    }
    return std::string();
}

// Only plain decimal lengths within the limit are read; empty means none.
bool ParseContentLength(const std::string& text, size_t* length) {
    const std::string digits = Trimmed(text);
    if (digits.empty()) {
        *length = 0;
        return true;
    }
    auto isDigit = [](unsigned char c) { return std::isdigit(c) != 0; };
    if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), isDigit)) return false;
    *length = std::strtoul(digits.c_str(), nullptr, 10);
    return *length <= kMaxBodyBytes;
}

bool ReadBody(FILE* in, size_t length, std::string* body) {
    body->assign(length, '\0');
    size_t got = 0;
    while (got < length) {
        size_t n = std::fread(&(*body)[got], 1, length - got, in);
        if (n == 0) return false;
        got += n;
    }
    return true;
}

bool RunCgicc(const std::string& method, const std::string& query, const std::string& contentType,
              std::string body, std::vector<FormField>* fields) {
    std::map<std::string, std::string> env = {
        {"REQUEST_METHOD", method},
        {"QUERY_STRING", query},
        {"CONTENT_TYPE", contentType},
        {"CONTENT_LENGTH", std::to_string(body.size())},
    };
    try {
        PreparedInput input(std::move(env), std::move(body));
        cgicc::Cgicc parsed(&input);
        for (const cgicc::FormEntry& entry : parsed.getElements())
            fields->push_back(FormField{entry.getName(), entry.getValue()});
        return true;
    } catch (const std::exception&) {
        fields->clear();
        return false;
    } catch (...) {
        fields->clear();
        return false;
    }
}

// cgicc finds the last part only when the closing delimiter ends in CRLF,
// which the standard leaves optional; a body without any delimiter line is
// an empty submission.
bool ParseMultipart(const std::string& contentType, std::string body, std::vector<FormField>* fields) {
    const std::string boundary = Boundary(contentType);
    if (boundary.empty()) return false;
    if (body.find("--" + boundary + "\r\n") == std::string::npos) return true;
    const std::string closing = "--" + boundary + "--";
    if (body.size() >= closing.size() && body.compare(body.size() - closing.size(), closing.size(), closing) == 0)
        body += "\r\n";
    return RunCgicc("POST", "", std::string(kMultipartType) + "; boundary=" + boundary, std::move(body), fields);
}

bool ParsePost(const Request& request, FILE* in, std::vector<FormField>* fields) {
    const std::string type = BaseType(request.contentType);
    const bool urlEncoded = SameText(type, kUrlEncodedType);
    if (!urlEncoded && !SameText(type, kMultipartType)) return true;
    size_t length = 0;
    if (!ParseContentLength(request.contentLength, &length)) return false;
    if (length == 0) return true;
    std::string body;
    if (!ReadBody(in, length, &body)) return false;
    if (urlEncoded) return RunCgicc("POST", "", kUrlEncodedType, std::move(body), fields);
    return ParseMultipart(request.contentType, std::move(body), fields);
}

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

Request RequestFromEnvironment() {
    return Request{EnvOrEmpty("REQUEST_METHOD"), EnvOrEmpty("QUERY_STRING"), EnvOrEmpty("CONTENT_TYPE"),
                   EnvOrEmpty("CONTENT_LENGTH")};
}

bool ParseRequest(const Request& request, FILE* in, std::vector<FormField>* fields) {
    fields->clear();
    if (SameText(request.method, "get")) return RunCgicc("GET", request.queryString, "", "", fields);
    if (SameText(request.method, "post")) return ParsePost(request, in, fields);
    return true;
}

}  // namespace cgic
