// Reading one CGI request into its form fields, through cgicc. Kept apart
// from the calls the programs use so that tests can feed requests directly.
#ifndef PATERM_CGI_CGIC_REQUEST_H
#define PATERM_CGI_CGIC_REQUEST_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace cgic {

struct FormField {
    std::string name;
    std::string value;
};

// The CGI environment variables the parse depends on, as the server set them.
struct Request {
    std::string method;         // REQUEST_METHOD
    std::string queryString;    // QUERY_STRING
    std::string contentType;    // CONTENT_TYPE
    std::string contentLength;  // CONTENT_LENGTH
};

// The settings forms are a few dozen bytes; anything far larger is refused
// before it is read.
constexpr size_t kMaxBodyBytes = 64 * 1024;

Request RequestFromEnvironment();

// GET: the query string. POST: the body read from `in`, when its content type
// is a url-encoded or multipart form (a POST's query string is ignored); any
// other method or content type has no fields. False when the body cannot be
// read or parsed: a bad length, a short body, a malformed multipart body.
bool ParseRequest(const Request& request, FILE* in, std::vector<FormField>* fields);

// ParseRequest, then makes the fields the ones cgiForm* calls look up.
bool LoadForm(const Request& request, FILE* in);

}  // namespace cgic

#endif  // PATERM_CGI_CGIC_REQUEST_H
