/* Compiled as C99 with every warning an error: the public header must stay C. */
#include "kelvo2.h"

int KelvoHeaderCheckC(void);
int KelvoHeaderCheckC(void) { return (int)sizeof(kelvo_file_writer) + KelvoProductMajorVersion; }
