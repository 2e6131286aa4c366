#pragma once

// The error queue of the build without a TLS library: always empty (see ssl.h here).

unsigned long ERR_get_error(void);
void ERR_clear_error(void);
char* ERR_error_string(unsigned long code, char* buffer);
const char* ERR_lib_error_string(unsigned long code);
const char* ERR_reason_error_string(unsigned long code);
