#pragma once

// Included ahead of every test source of the Windows build: the few POSIX helpers the tests
// use for scratch folders, over the C runtime. Tests only; production code has none.
#ifdef __cplusplus
extern "C" {
#endif

// Replaces the trailing "XXXXXX" of pattern and creates that folder; pattern, or null.
char* mkdtemp(char* pattern);

#ifdef __cplusplus
}
#endif
