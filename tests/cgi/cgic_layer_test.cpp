// The CGI layer's library calls: how requests become fields, how
// cgiFormRadio and cgiFormInteger match and parse them, and the header bytes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cgi/cgic_layer.h"
#include "cgi/cgic_request.h"

using cgic::FormField;
using cgic::Request;

namespace {

// A request body as the layer reads it: a stdio stream.
class Body {
public:
    explicit Body(std::string text) : text_(std::move(text)) {
        file_ = text_.empty() ? std::fopen("/dev/null", "r") : fmemopen(text_.data(), text_.size(), "r");
    }
    ~Body() { std::fclose(file_); }
    FILE* get() const { return file_; }

private:
    std::string text_;
    FILE* file_;
};

Request Post(const std::string& contentType, const std::string& body) {
    return Request{"POST", "", contentType, std::to_string(body.size())};
}

// The fields of a request, or nothing when it cannot be read.
std::optional<std::vector<FormField>> Fields(const Request& request, const std::string& body = "") {
    Body in(body);
    std::vector<FormField> fields;
    if (!cgic::ParseRequest(request, in.get(), &fields)) return std::nullopt;
    return fields;
}

// The number of fields, -1 when the request could not be read.
int Count(const std::optional<std::vector<FormField>>& fields) {
    return fields ? static_cast<int>(fields->size()) : -1;
}

std::vector<std::string> Flat(const std::optional<std::vector<FormField>>& fields) {
    std::vector<std::string> flat;
    for (const FormField& field : fields.value_or(std::vector<FormField>{}))
        flat.push_back(field.name + "=" + field.value);
    return flat;
}

void LoadQuery(const std::string& query) {
    Body none("");
    ASSERT_TRUE(cgic::LoadForm(Request{"GET", query, "", ""}, none.get()));
}

const char* const kChoices[] = {"disable", "enable"};

int Radio(const char* name, cgiFormResultType expected) {
    int result = -7;
    EXPECT_EQ(cgiFormRadio(name, kChoices, 2, &result, 5), expected) << name;
    return result;
}

int Integer(const char* name, cgiFormResultType expected) {
    int result = -7;
    EXPECT_EQ(cgiFormInteger(name, &result, 99), expected) << name;
    return result;
}

// What the layer prints to cgiOut while `print` runs.
template <typename Print>
std::string Printed(Print print) {
    char* data = nullptr;
    size_t size = 0;
    FILE* saved = cgiOut;
    cgiOut = open_memstream(&data, &size);
    print();
    std::fclose(cgiOut);
    cgiOut = saved;
    std::string text(data, size);
    free(data);
    return text;
}

}  // namespace

TEST(CgicForm, RadioMatchesTheWholeValueInItsOwnCase) {
    LoadQuery("a=enable&b=disable&c=ENABLE&d=Enable&e=enable+&f=enabled&g=&a=disable");
    EXPECT_EQ(Radio("a", cgiFormSuccess), 1);  // the first "a" counts
    EXPECT_EQ(Radio("b", cgiFormSuccess), 0);
    for (const char* name : {"c", "d", "e", "f", "g"}) EXPECT_EQ(Radio(name, cgiFormNoSuchChoice), 5);
    EXPECT_EQ(Radio("A", cgiFormNotFound), 5);
    EXPECT_EQ(Radio("missing", cgiFormNotFound), 5);
}

TEST(CgicForm, IntegerTakesLeadingDecimalNumber) {
    LoadQuery("a=45&b=12abc&c=-5&d=+7&e=%20%09%0A42&f=-&g=99999999999&h=-99999999999&i=007&j=4+5");
    EXPECT_EQ(Integer("a", cgiFormSuccess), 45);
    EXPECT_EQ(Integer("b", cgiFormSuccess), 12);
    EXPECT_EQ(Integer("c", cgiFormSuccess), -5);
    EXPECT_EQ(Integer("d", cgiFormSuccess), 7);
    EXPECT_EQ(Integer("e", cgiFormSuccess), 42);
    EXPECT_EQ(Integer("f", cgiFormSuccess), 0);
    EXPECT_EQ(Integer("g", cgiFormSuccess), INT_MAX);
    EXPECT_EQ(Integer("h", cgiFormSuccess), INT_MIN);
    EXPECT_EQ(Integer("i", cgiFormSuccess), 7);
    EXPECT_EQ(Integer("j", cgiFormSuccess), 4);
}

TEST(CgicForm, IntegerDefaultsWhenMissingEmptyOrNotANumber) {
    LoadQuery("empty=&word=abc&dot=.5&blank=%20&vtab=%0B5&Delay=3");
    EXPECT_EQ(Integer("missing", cgiFormNotFound), 99);
    EXPECT_EQ(Integer("delay", cgiFormNotFound), 99);  // names keep their case
    EXPECT_EQ(Integer("empty", cgiFormEmpty), 99);
    for (const char* name : {"word", "dot", "blank", "vtab"}) EXPECT_EQ(Integer(name, cgiFormBadType), 99);
}

TEST(CgicRequest, GetTakesTheDecodedQueryString) {
    EXPECT_EQ(Flat(Fields(Request{"GET", "a=1&b=x+y%21&=z&c", "", ""})),
              (std::vector<std::string>{"a=1", "b=x y!", "=z"}));
    EXPECT_EQ(Flat(Fields(Request{"get", "delay=3", "", ""})), (std::vector<std::string>{"delay=3"}));
}

TEST(CgicRequest, PostTakesOnlyAFormBody) {
    Request post = Post("Application/X-WWW-Form-Urlencoded; charset=UTF-8", "delay=45");
    post.queryString = "auto_enabled=enable";
    EXPECT_EQ(Flat(Fields(post, "delay=45")), (std::vector<std::string>{"delay=45"}));
    // Other content types, other methods: no fields, and not an error.
    EXPECT_EQ(Count(Fields(Post("text/plain", "delay=45"), "delay=45")), 0);
    EXPECT_EQ(Count(Fields(Post("", "delay=45"), "delay=45")), 0);
    EXPECT_EQ(Count(Fields(Request{"PUT", "delay=1", "application/x-www-form-urlencoded", "8"}, "delay=45")), 0);
    EXPECT_EQ(Count(Fields(Request{"HEAD", "delay=1", "", ""})), 0);
}

TEST(CgicRequest, MultipartBodies) {
    const std::string body =
        "preamble\r\n--XY\r\nContent-Disposition: form-data; name=\"delay\"\r\n\r\n45\r\n"
        "--XY\r\nContent-Disposition: form-data; name=\"up\"; filename=\"f.txt\"\r\nContent-Type: text/plain\r\n\r\n"
        "file\r\n"
        "--XY\r\nContent-Disposition: form-data; name=\"auto_enabled\"\r\n\r\nenable\r\n--XY--";
    const std::vector<std::string> expected = {"delay=45", "auto_enabled=enable"};
    EXPECT_EQ(Flat(Fields(Post("multipart/form-data; boundary=XY", body), body)), expected);
    EXPECT_EQ(Flat(Fields(Post("multipart/form-data; boundary=\"XY\"", body + "\r\n"), body + "\r\n")), expected);
    // No delimiter line at all: an empty submission.
    EXPECT_EQ(Count(Fields(Post("multipart/form-data; boundary=XY", "delay=45"), "delay=45")), 0);
}

TEST(CgicRequest, RefusesBodiesItCannotRead) {
    const std::string form = "delay=45";
    const char* type = "application/x-www-form-urlencoded";
    for (const char* length : {"9", "-1", "4x", "0x8", "99999999999", "65537"})
        EXPECT_FALSE(Fields(Request{"POST", "", type, length}, form)) << length;
    EXPECT_EQ(Flat(Fields(Request{"POST", "", type, "6"}, form)), (std::vector<std::string>{"delay="}));
    EXPECT_EQ(Count(Fields(Request{"POST", "", type, ""}, form)), 0);

    const std::string part = "--B\r\nContent-Disposition: form-data; name=\"delay\"\r\n45\r\n--B--\r\n";
    EXPECT_FALSE(Fields(Post("multipart/form-data; boundary=B", part), part));
    EXPECT_FALSE(Fields(Post("multipart/form-data", part), part));
}

TEST(CgicRequest, LoadFormReplacesTheFields) {
    LoadQuery("delay=45");
    int value = 0;
    EXPECT_EQ(cgiFormInteger("delay", &value, 0), cgiFormSuccess);
    Body shortBody("de");
    EXPECT_FALSE(cgic::LoadForm(Request{"POST", "", "application/x-www-form-urlencoded", "8"}, shortBody.get()));
    EXPECT_EQ(cgiFormInteger("delay", &value, 0), cgiFormNotFound);
}

TEST(CgicHeader, HeaderBytes) {
    EXPECT_EQ(Printed([] { cgiHeaderContentType("text/plain"); }), "Content-type: text/plain\r\n\r\n");
    EXPECT_EQ(Printed([] { cgiHeaderStatus(500, "Error reading form data"); }),
              "Status: 500 Error reading form data\r\n\r\n");
}
