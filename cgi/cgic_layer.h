// The cgic 2.0 calls the two web programs are written against, over cgicc:
// the program supplies cgiMain, the layer's main parses the request and
// calls it. Field lookup, matching and number parsing keep cgic's meaning;
// see docs/web.md.
#ifndef PATERM_CGI_CGIC_LAYER_H
#define PATERM_CGI_CGIC_LAYER_H

#include <cstdio>

// Result of a form call; the values are cgic's, in its order.
typedef enum {
    cgiFormSuccess,
    cgiFormTruncated,
    cgiFormBadType,
    cgiFormEmpty,
    cgiFormNotFound,
    cgiFormConstrained,
    cgiFormNoSuchChoice,
    cgiFormMemory,
    cgiFormNoFileName,
    cgiFormNoContentType,
    cgiFormNotAFile,
    cgiFormOpenFailed,
    cgiFormIO,
    cgiFormEOF
} cgiFormResultType;

// The response stream (standard output while a program runs).
extern FILE* cgiOut;

// Written by each program: handles the parsed request, returns the exit code.
int cgiMain(void);

// Prints "Content-type: <mimeType>" and the blank line that ends the header.
void cgiHeaderContentType(const char* mimeType);
// Prints "Status: <status> <message>" and the blank line that ends the header.
void cgiHeaderStatus(int status, const char* message);

// The first field called `name` (names compare case-sensitively) must equal
// one of the choices exactly, case included; *result is the choice's index,
// or defaultV when the field is missing or matches no choice.
cgiFormResultType cgiFormRadio(const char* name, const char* const* valuesText, int valuesTotal, int* result,
                               int defaultV);

// The first field called `name` as a decimal integer: blanks, an optional
// sign and the leading digits ("12abc" gives 12, "-5" gives -5); values
// beyond int saturate. defaultV when the field is missing, empty or does not
// start (after blanks) with a digit or sign.
cgiFormResultType cgiFormInteger(const char* name, int* result, int defaultV);

#endif  // PATERM_CGI_CGIC_LAYER_H
