// Compiled as C++ with every warning an error.
#include "kelvo2.h"

int KelvoHeaderCheckCxx();
int KelvoHeaderCheckCxx() { return static_cast<int>(sizeof(kelvo_file_reader)); }
