// extopts: takes the advanced settings the page submitted ("auto_enabled",
// "delay") and hands them to paterm over the CGI channel, which stores them.
// It answers success without waiting for paterm. A request with neither
// field is refused and sends nothing: the zero record would wipe the
// stored settings.
#include <cstring>

#include "cgi/cgic_layer.h"
#include "cgi/cgicommon.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the settings record is sent in place, little-endian");

int cgiMain(void) {
    cgi_player_ext_opts playerExtOpts;
    std::memset(&playerExtOpts, 0, sizeof playerExtOpts);

    int retVal = 0;
    const cgiFormResultType autoFound = cgiFormRadio("auto_enabled", enable_strs, 2, &retVal, 0);
    playerExtOpts.autoFlag = static_cast<uint8_t>(retVal & 0xFF);
    // Out-of-range numbers wrap to 16 bits (70000 is sent as 4464).
    const cgiFormResultType delayFound = cgiFormInteger("delay", &retVal, 0);
    playerExtOpts.delayTime = static_cast<uint16_t>(retVal & 0xFFFF);

    if (autoFound == cgiFormNotFound && delayFound == cgiFormNotFound) {
        cgi_response_print(CGI_FAILED, "no settings in the request");
        return 0;
    }

    SendDataToPlayerMgmt(PLAYER_CGI_MSG_TYPE_EXT_OPTS, reinterpret_cast<const uint8_t*>(&playerExtOpts),
                         sizeof playerExtOpts);
    cgi_response_print(CGI_SUCCESS, nullptr);
    return 0;
}
