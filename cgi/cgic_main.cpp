// The entry of each CGI program: parse the request, then run the program's
// cgiMain. A request that cannot be read is answered with status 500 and
// cgiMain is not run.
#include <cstdio>

#include "cgi/cgic_layer.h"
#include "cgi/cgic_request.h"

int main() {
    cgiOut = stdout;
    if (!cgic::LoadForm(cgic::RequestFromEnvironment(), stdin)) {
        cgiHeaderStatus(500, "Error reading form data");
        return -1;
    }
    return cgiMain();
}
