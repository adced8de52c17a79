// The platform layer: the only code that reaches POSIX and the system libraries.
#include "platform/bytes.h"
