// Puts the version stamp into its own ELF section, where a host finds it
// without running any of the plug-in's code. Not an exported symbol.
#include "resources/version_stamp.h"

#if defined(__ELF__)
__attribute__((section(QUORV_STAMP_SECTION), used))
#if defined(QUORV_PLUGIN_NAME)
static const char quorv_version_stamp[] =
    QUORV_STAMP_TEXT QUORV_STAMP_NAME_PREFIX QUORV_STAMP_STR(QUORV_PLUGIN_NAME) "\n";
#else
static const char quorv_version_stamp[] = QUORV_STAMP_TEXT;
#endif
#endif
