// getextopts: answers the settings page's request for the advanced settings
// with a JSON object read from "/opt/lpc3250/sysExtOpts". It always answers
// success; a missing or short file gives the defaults.
#include <cstring>

#include "cgi/cgic_layer.h"
#include "cgi/cgicommon.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the settings record is read in place, little-endian");

int cgiMain(void) {
    cgi_player_ext_opts playerExtOpts;
    const cgi_result_t res = cgi_read_file(kExtOptsPath, &playerExtOpts, sizeof playerExtOpts);
    if (res != CGI_SUCCESS) {
        // The file is not created here: paterm owns it.
        std::memset(&playerExtOpts, 0, sizeof playerExtOpts);
        playerExtOpts.autoFlag = 0;
        playerExtOpts.delayTime = kDefaultDelayTime;
    }

    cgiHeaderContentType("text/plain");
    std::fprintf(cgiOut, "{ \"success\" : \"true\", ");
    std::fprintf(cgiOut, "\"delay\":\"%d\"", static_cast<int>(playerExtOpts.delayTime));
    std::fprintf(cgiOut, ",\"auto_enabled\":\"%s\"", int2enable(playerExtOpts.autoFlag & 1));
    std::fprintf(cgiOut, "}");
    return 0;
}
