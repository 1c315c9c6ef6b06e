// The administrator's login on the announcement group: the user name and the
// password checked against the web server's password file with crypt.
#include <crypt.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "board/board.h"
#include "net/announce.h"

namespace {

constexpr const char* kAdminUser = "super";
constexpr size_t kPasswdLineMax = 128;  // 127 characters and the NUL

// A 16-byte field: text up to its first NUL, or all 16 bytes.
void FieldText(const uint8_t field[kLoginTextLength], char out[kLoginTextLength + 1]) {
    std::memcpy(out, field, kLoginTextLength);
    out[kLoginTextLength] = '\0';
}

// The hash of the file's first line (the text after its first ':'): false
// when the file is missing, empty or its line has no ':'.
bool ReadAdminHash(char line[kPasswdLineMax], const char** hash) {
    FILE* file = std::fopen(board::Path(kWebPasswordPath).c_str(), "r");
    if (file == nullptr) return false;
    const bool read = std::fgets(line, kPasswdLineMax, file) != nullptr;
    std::fclose(file);
    if (!read) return false;
    line[std::strcspn(line, "\n")] = '\0';
    char* colon = std::strchr(line, ':');
    if (colon == nullptr) return false;
    *hash = colon + 1;
    return true;
}

// Only the announcement task logs in; crypt_r's work area is static all the
// same (it is too large for a task stack), so a lock guards it for any caller.
bool PasswordMatches(const char* password, const char* hash) {
    static std::mutex cryptMutex;
    static crypt_data data;
    std::lock_guard<std::mutex> lock(cryptMutex);
    std::memset(&data, 0, sizeof data);
    // A hash crypt cannot use yields null (or a "*" failure token): no match.
    const char* result = crypt_r(password, hash, &data);
    return result != nullptr && result[0] != '*' && std::strcmp(result, hash) == 0;
}

}  // namespace

int LoginCheck(const uint8_t user[kLoginTextLength], const uint8_t password[kLoginTextLength]) {
    char name[kLoginTextLength + 1];
    FieldText(user, name);
    if (std::strcmp(name, kAdminUser) != 0) return -1;
    char line[kPasswdLineMax];
    const char* hash = nullptr;
    if (!ReadAdminHash(line, &hash)) return -1;
    char text[kLoginTextLength + 1];
    FieldText(password, text);
    return PasswordMatches(text, hash) ? 0 : -1;
}
